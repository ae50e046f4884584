#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>

// Signature of a bundle folder: a list of every file in it with its SHA-256 and mode, signed
// with Ed25519.
namespace BundleSignature {

inline constexpr char kFileListPath[] = "signature/manifest.txt";  // relative to the bundle
inline constexpr char kSignaturePath[] = "signature/manifest.sig"; // 64 raw bytes

// Writes the file list and its signature into bundleDir (replacing earlier ones).
// privateKeyPem: an Ed25519 private key in PEM (PKCS#8). Throws std::runtime_error with a plain
// message.
void sign(const QString &bundleDir, const QByteArray &privateKeyPem);

// Empty when the bundle is exactly what was signed; otherwise the reason in plain words.
// publicKey: the 32 raw bytes of the Ed25519 public key.
QString verify(const QString &bundleDir, const QByteArray &publicKey);

// The 32 raw public-key bytes from 64 hex digits; empty when the text is not that.
QByteArray publicKeyFromHex(const QByteArray &hex);

} // namespace BundleSignature
