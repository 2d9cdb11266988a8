#pragma once

#include <gtest/gtest.h>

#include <QDateTime>
#include <QList>
#include <QStringList>

#include "engine/backup/PluginBackup.h"

// Backup and translation tests: each starts from an empty application folder and libraries,
// with the administrator explanation not yet shown.
class BackupTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // `minutes` after 12:00 UTC on 1 March 2025.
    static QDateTime at(int minutes);
    // The backups' ids, in their order.
    static QStringList ids(const QList<PluginBackup>& backups);
};
