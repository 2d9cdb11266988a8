#include "support/app/BackupTest.h"

#include <QTimeZone>

#include "engine/files/AdminAuth.h"
#include "support/app/TestEnv.h"

void BackupTest::SetUp()
{
    TestEnv::reset();
    AdminAuth::resetExplanation();
}

// The libraries as they were found: later suites of the same process expect them empty.
void BackupTest::TearDown()
{
    TestEnv::reset();
}

QDateTime BackupTest::at(int minutes)
{
    return QDateTime(QDate(2025, 3, 1), QTime(12, 0), QTimeZone::utc()).addSecs(60LL * minutes);
}

QStringList BackupTest::ids(const QList<PluginBackup>& backups)
{
    QStringList result;
    for (const auto& backup : backups)
        result.append(backup.id);
    return result;
}
