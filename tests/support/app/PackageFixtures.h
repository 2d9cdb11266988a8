#pragma once

#include <QList>
#include <QString>

// .zfcp packages made by our own packer at test time.
namespace PackageFixtures {

struct PackagedPlugin
{
    QString type; // the type string written into the package; any text, not only the four keys
    QString name;
};

// Packs one small plug-in folder per packaged, in order, into a package at `path` (parent
// folders created). Each folder holds "Info.txt" with "<type>/<name>". Aborts the test on
// failure.
void writePackage(const QString& path, const QList<PackagedPlugin>& plugins);

} // namespace PackageFixtures
