#include "ScriptText.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>

namespace ScriptText {

QString literal(const QString &text)
{
    // A one-element array, then its brackets dropped: QJsonValue has no serialiser of its own.
    QString json =
        QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact));
    json = json.mid(1, json.size() - 2);
    json.replace(u'<', QStringLiteral("\\u003c"));
    json.replace(QChar(0x2028), QStringLiteral("\\u2028"));
    json.replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return json;
}

QString storageWrite(const QString &token, const QString &catchBody)
{
    const QString value = literal(token);
    return QStringLiteral("(function () { try { localStorage.setItem('token', ") + value +
           QStringLiteral("); sessionStorage.setItem('token', ") + value +
           QStringLiteral("); } catch (e) { ") + catchBody + QStringLiteral(" } })();");
}

} // namespace ScriptText
