#include "core/updater/UpdaterError.h"

#include "core/api/HttpTransport.h"

namespace {

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString formOf(UpdaterError::Kind kind, int status, const QString &reason)
{
    using Kind = UpdaterError::Kind;
    switch (kind) {
    case Kind::badStatus:
        return QStringLiteral("badStatus(%1)").arg(status);
    case Kind::dmgMountFailed:
        return QStringLiteral("dmgMountFailed(%1)").arg(status);
    case Kind::codeSignatureInvalid:
        return QStringLiteral("codeSignatureInvalid(") + quoted(reason) + QLatin1Char(')');
    case Kind::integrityMismatch:
        return QStringLiteral("integrityMismatch");
    case Kind::unexpectedArchiveContents:
        return QStringLiteral("unexpectedArchiveContents");
    case Kind::installLocationNotWritable:
        return QStringLiteral("installLocationNotWritable");
    case Kind::unsafeFileName:
        return QStringLiteral("unsafeFileName(") + quoted(reason) + QLatin1Char(')');
    }
    return QStringLiteral("unknown");
}

} // namespace

UpdaterError::UpdaterError(Kind kind, int status, QString reason)
    : std::runtime_error(formOf(kind, status, reason).toStdString()), m_kind(kind),
      m_status(status), m_reason(std::move(reason))
{}

UpdaterError UpdaterError::badStatus(int status)
{
    return {Kind::badStatus, status, {}};
}

UpdaterError UpdaterError::dmgMountFailed(int status)
{
    return {Kind::dmgMountFailed, status, {}};
}

UpdaterError UpdaterError::codeSignatureInvalid(const QString &reason)
{
    return {Kind::codeSignatureInvalid, 0, reason};
}

UpdaterError UpdaterError::integrityMismatch()
{
    return {Kind::integrityMismatch, 0, {}};
}

UpdaterError UpdaterError::unexpectedArchiveContents()
{
    return {Kind::unexpectedArchiveContents, 0, {}};
}

UpdaterError UpdaterError::installLocationNotWritable()
{
    return {Kind::installLocationNotWritable, 0, {}};
}

UpdaterError UpdaterError::unsafeFileName(const QString &name)
{
    return {Kind::unsafeFileName, 0, name};
}

QString UpdaterError::textualForm() const
{
    return formOf(m_kind, m_status, m_reason);
}

QString UpdaterError::description() const
{
    return QStringLiteral(
               "The operation couldn\u2019t be completed. (Vorlanta_Creator.UpdaterError "
               "error %1.)")
        .arg(int(m_kind));
}

QString errorTextualForm(const std::exception &error)
{
    if (const auto *updater = dynamic_cast<const UpdaterError *>(&error)) {
        return updater->textualForm();
    }
    if (const auto *network = dynamic_cast<const NetworkError *>(&error)) {
        return QStringLiteral("NetworkError(%1): ").arg(network->codeValue()) +
               network->description();
    }
    return QString::fromUtf8(error.what());
}

QString errorDescription(const std::exception &error)
{
    if (const auto *updater = dynamic_cast<const UpdaterError *>(&error)) {
        return updater->description();
    }
    if (const auto *network = dynamic_cast<const NetworkError *>(&error)) {
        return network->description();
    }
    return QString::fromUtf8(error.what());
}
