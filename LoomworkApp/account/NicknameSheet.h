#pragma once

#include <QDialog>

class LoginService;
class NicknameModel;
class QLabel;
class QLineEdit;
class QPushButton;
class UserAvatar;
namespace SettingsPieces {
class ToneLabel;
}

// The sheet in which the signed-in user renames themself: the letter avatar the name will
// give, the field with its 16-character counter, the server's refusal in red, and a save
// that closes the sheet on success. Window-modal, opened with open(); deletes itself when
// closed. A reply that arrives after it closed is dropped (NicknameModel).
class NicknameSheet : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 392;
    static constexpr int kPreviewAvatar = 46;

    explicit NicknameSheet(LoginService* login, QWidget* parent = nullptr);

    NicknameModel* model() const { return m_model; }
    QLineEdit* field() const { return m_field; }
    QLabel* counter() const;
    QLabel* previewName() const;
    QLabel* initialLine() const;
    QPushButton* cancelButton() const { return m_cancel; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void done(int result) override;

private:
    void sync();
    void restyle();

    NicknameModel* m_model;
    UserAvatar* m_avatar = nullptr;
    SettingsPieces::ToneLabel* m_previewName = nullptr;
    SettingsPieces::ToneLabel* m_initialLine = nullptr;
    SettingsPieces::ToneLabel* m_counter = nullptr;
    QLineEdit* m_field = nullptr;
    QWidget* m_errorRow = nullptr;
    SettingsPieces::ToneLabel* m_error = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_save = nullptr;
};
