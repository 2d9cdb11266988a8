// Placeholder so that the views build until the runner's implementation is merged.
// Delete this file when merging the branch that implements OperationsCenter.
#include "engine/OperationsCenter.h"

OperationsCenter::OperationsCenter(QObject* parent) : QObject(parent) {}
OperationsCenter::~OperationsCenter() = default;
void OperationsCenter::setAlertTitle(const std::optional<QString>& title) { m_alertTitle = title; emit alertChanged(); }
void OperationsCenter::setAlertMessage(const std::optional<QString>& message) { m_alertMessage = message; emit alertChanged(); }
void OperationsCenter::install(const QStringList&, const InstallPlan&, Callback) {}
void OperationsCenter::remove(const QList<Plugin>&, Callback) {}
void OperationsCenter::backup(const QList<Plugin>&, BackupMode, const std::optional<QString>&, Callback) {}
void OperationsCenter::begin(const QString&) {}
void OperationsCenter::setBusy(bool) {}
void OperationsCenter::setStatusText(const QString&) {}
void OperationsCenter::setProgress(double) {}
QString InstallPlan::key(int packageIndex, ZFCPluginType type, const QString& name)
{
    return QString::number(packageIndex) + u'|' + QString::fromUtf8(type.rawValue().data(), qsizetype(type.rawValue().size())) + u'|' + name;
}
