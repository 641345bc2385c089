#pragma once
// The https server's certificate: self-signed and made on first start, so a new
// installation answers https at once. An operator may replace both files with a
// certificate from a real authority.
#include <filesystem>
#include <stdexcept>

namespace quorvane::service {

struct CertificateFiles {
  std::filesystem::path certificate;  // PEM
  std::filesystem::path private_key;  // PEM, readable by the owner only
};

class CertificateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The certificate and key files in dir ("cert.pem", "key.pem"). When either is
// missing, a new RSA-2048 key and a self-signed certificate for localhost,
// 127.0.0.1 and ::1, valid for ten years, are written there (each file written
// to a temporary name first and renamed, so a crash leaves no half file).
// Throws CertificateError.
CertificateFiles EnsureCertificate(const std::filesystem::path& dir);

}  // namespace quorvane::service
