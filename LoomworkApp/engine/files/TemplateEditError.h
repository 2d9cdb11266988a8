#pragma once

#include <stdexcept>

#include <QString>

// A template rewrite that failed: a refused version value or a write the system refused.
// The message is the Chinese text shown after "修改失败：" or "写入失败：".
class TemplateEditError : public std::runtime_error
{
public:
    explicit TemplateEditError(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& message() const { return m_message; }

private:
    QString m_message;
};
