#include "service/certificate.h"

#include <cstdio>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace quorvane::service {
namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using BigNum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

constexpr long kValiditySeconds = 10L * 365 * 24 * 60 * 60;

[[noreturn]] void Fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  std::string reason = what;
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    reason += ": ";
    reason += text;
  }
  ERR_clear_error();
  throw CertificateError("certificate: " + reason);
}

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  Extension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) Fail(std::string("add extension ") + value);
}

Certificate MakeCertificate(EVP_PKEY* key) {
  Certificate cert(X509_new());
  if (!cert) Fail("new certificate");
  X509_set_version(cert.get(), 2);
  BigNum serial(BN_new());
  if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get()))) {
    Fail("serial number");
  }
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60 * 60) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds)) {
    Fail("validity");
  }
  if (X509_set_pubkey(cert.get(), key) != 1) Fail("public key");
  X509_NAME* name = X509_get_subject_name(cert.get());
  const auto add = [&](const char* field, const char* value) {
    if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value), -1, -1,
                                   0) != 1) {
      Fail(std::string("name ") + field);
    }
  };
  add("O", "Quorvane service");
  add("CN", "localhost");
  if (X509_set_issuer_name(cert.get(), name) != 1) Fail("issuer");
  AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment");
  AddExtension(cert.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
  AddExtension(cert.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(cert.get(), key, EVP_sha256()) == 0) Fail("sign");
  return cert;
}

// Writes through a temporary file created with the given mode, then renames it
// into place.
template <class WritePem>
void WriteFile(const std::filesystem::path& file, mode_t mode, WritePem write_pem) {
  const std::filesystem::path temp = file.string() + ".new";
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) Fail("create " + temp.string());
  std::unique_ptr<std::FILE, Deleter<std::fclose>> out(::fdopen(fd, "w"));
  if (!out) {
    ::close(fd);
    Fail("open " + temp.string());
  }
  Bio bio(BIO_new_fp(out.get(), BIO_NOCLOSE));
  if (!bio || write_pem(bio.get()) != 1 || BIO_flush(bio.get()) != 1) Fail("write " + temp.string());
  bio.reset();
  if (std::fflush(out.get()) != 0 || ::fsync(::fileno(out.get())) != 0) Fail("write " + temp.string());
  out.reset();
  if (::rename(temp.c_str(), file.c_str()) != 0) Fail("rename " + temp.string());
}

}  // namespace

CertificateFiles EnsureCertificate(const std::filesystem::path& dir) {
  CertificateFiles files{dir / "cert.pem", dir / "key.pem"};
  std::error_code ec;
  if (std::filesystem::exists(files.certificate, ec) && std::filesystem::exists(files.private_key, ec)) return files;

  Key key(EVP_RSA_gen(2048));
  if (!key) Fail("generate key");
  Certificate cert = MakeCertificate(key.get());
  // A leftover of an earlier pair goes first, so that a crash between the two
  // writes never leaves a key beside a certificate that is not its own.
  ::unlink(files.certificate.c_str());
  WriteFile(files.private_key, 0600, [&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  WriteFile(files.certificate, 0644, [&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
  return files;
}

}  // namespace quorvane::service
