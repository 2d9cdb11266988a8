#include "ui/Appearance.h"

#include <QApplication>
#include <QStyleFactory>

#ifdef LOOMWORK_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#endif

#include "engine/model/AppSettings.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace {

QPalette g_systemPalette;
bool g_haveSystemPalette = false;

} // namespace

Appearance& Appearance::instance()
{
    static Appearance* appearance = new Appearance;
    return *appearance;
}

void Appearance::install(QApplication& app)
{
    g_systemPalette = app.palette();
    g_haveSystemPalette = true;
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    SymbolIcon::fontFamily();
    QApplication::setFont(Theme::calloutFont());
    instance().apply();
#ifdef LOOMWORK_HAVE_DBUS
    // Follow the desktop when the user switches its scheme while the application runs.
    QDBusConnection::sessionBus().connect(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("SettingChanged"),
        &instance(), SLOT(desktopSettingChanged()));
#endif
}

void Appearance::follow(QObject* owner, std::function<void()> apply)
{
    apply();
    connect(&instance(), &Appearance::changed, owner, [apply = std::move(apply)] { apply(); });
}

void Appearance::desktopSettingChanged()
{
    if (m_mode == QLatin1String("system"))
        apply();
}

void Appearance::setDesktopSchemeReader(DesktopSchemeReader reader)
{
    m_reader = std::move(reader);
}

std::optional<bool> Appearance::readDesktopScheme()
{
#ifdef LOOMWORK_HAVE_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.portal.Desktop"),
            QStringLiteral("/org/freedesktop/portal/desktop"),
            QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
        call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
        const QDBusMessage reply = bus.call(call, QDBus::Block, 300);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            QVariant value = reply.arguments().first();
            // The portal wraps the value in one or two variants.
            while (value.canConvert<QDBusVariant>())
                value = value.value<QDBusVariant>().variant();
            bool ok = false;
            const uint scheme = value.toUInt(&ok);
            if (ok && scheme == 1)
                return true;
            if (ok && scheme == 2)
                return false;
        }
    }
#endif
    const QByteArray gtkTheme = qgetenv("GTK_THEME");
    if (gtkTheme.endsWith(":dark"))
        return true;
#ifdef Q_OS_MACOS
    if (g_haveSystemPalette)
        return g_systemPalette.color(QPalette::Window).lightness() < 128;
#endif
    return std::nullopt;
}

void Appearance::apply()
{
    const AppearanceMode mode = AppSettings::appearance();
    bool dark = false;
    if (mode == AppearanceMode::dark) {
        dark = true;
    } else if (mode == AppearanceMode::system) {
        const std::optional<bool> desktop = m_reader ? m_reader() : readDesktopScheme();
        dark = desktop.value_or(false);
    }
    m_mode = mode.rawValue();
    if (m_applied && dark == m_dark)
        return;
    m_applied = true;
    m_dark = dark;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::setPalette(Theme::qtPalette(dark));
    emit changed(dark);
}
