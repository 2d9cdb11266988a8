#pragma once

#include <optional>

#include <QObject>
#include <QPointer>
#include <QString>

class LoginService;

// The nickname sheet's state: the text being edited (cut to 16 characters, counted as
// grapheme clusters), the preview it produces, the inline error and the running save.
// A save's reply is dropped once the sheet has closed or the signed-in member has changed;
// the model closes itself when its member stops being signed in.
class NicknameModel : public QObject
{
    Q_OBJECT
public:
    static constexpr int maxLength = 16;
    static constexpr const char* defaultName = "用户中心";

    explicit NicknameModel(LoginService* login, QObject* parent = nullptr);

    const QString& text() const { return m_text; }
    // The editing rule: longer text keeps its first 16 characters; an error goes away.
    void setText(const QString& text);
    const std::optional<QString>& error() const { return m_error; }
    bool isSaving() const { return m_saving; }
    bool isClosed() const { return m_closed; }

    // Trimmed text, or "用户中心" when that is empty.
    QString previewName() const;
    // The nickname the preview avatar gets: none for the default name.
    std::optional<QString> previewAvatarName() const;
    // "头像：" + the preview's first character, or "默认显示「用户中心」".
    QString initialLine() const;
    // "3/16".
    QString counterText() const;
    QString saveButtonText() const;
    bool canPressSave() const;

    // Sends the trimmed text (empty restores the default name) unless a save runs.
    void save();
    // The sheet is gone: later replies change nothing.
    void close();

signals:
    void changed();
    // Success, or the member the sheet was opened for is no longer signed in.
    void closeRequested();

private:
    QString currentNickname() const;
    void onPhaseChanged();
    void finish(quint64 generation, const std::optional<QString>& error);

    QPointer<LoginService> m_login;
    QString m_memberKey;
    QString m_text;
    std::optional<QString> m_error;
    bool m_saving = false;
    bool m_closed = false;
    quint64 m_generation = 0;
};
