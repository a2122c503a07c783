// The local authority's key and certificate, and the host certificates it signs, with OpenSSL.
#include "local_ca.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <cstdio>

#include "filter_host.h"

namespace quillon::host {

namespace fs = std::filesystem;
namespace ssl = boost::asio::ssl;

namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;

[[noreturn]] void Fail(const std::string& what) {
  char detail[256] = "";
  const unsigned long code = ERR_get_error();
  if (code != 0) ERR_error_string_n(code, detail, sizeof detail);
  ERR_clear_error();
  throw HostError(what + (code != 0 ? std::string(": ") + detail : std::string()));
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(std::string("the local certificate authority: ") + what);
}

KeyPtr NewKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "cannot make a P-256 key");
  return key;
}

// A fresh certificate with a random serial, valid from an hour ago (clocks differ) for
// `lifetime`.
CertPtr NewCertificate(EVP_PKEY* key, std::chrono::hours lifetime) {
  CertPtr cert(X509_new());
  Check(cert != nullptr, "out of memory");
  Check(X509_set_version(cert.get(), 2) == 1, "cannot set the version");
  BignumPtr serial(BN_new());
  Check(serial != nullptr && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr,
        "cannot make a serial number");
  Check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()),
                            std::chrono::duration_cast<std::chrono::seconds>(lifetime).count()) !=
                nullptr,
        "cannot set the validity");
  Check(X509_set_pubkey(cert.get(), key) == 1, "cannot set the key");
  return cert;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  Check(extension != nullptr && X509_add_ext(cert, extension.get(), -1) == 1,
        "cannot add an extension");
}

void AddName(X509_NAME* name, const char* field, const std::string& value) {
  Check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0) == 1,
        "cannot set a name");
}

std::string ThisHostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// Writes `text` to `path` through a new file of its own with `mode`, renamed into place, so a
// reader never sees half a file and a key is never readable by others, not even for a moment.
void WriteFileAtomically(const fs::path& path, const std::string& text, mode_t mode) {
  const fs::path temporary = path.string() + ".new." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw HostError("cannot write " + temporary.string());
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    throw HostError("cannot write " + path.string());
  }
}

template <class Write>
std::string Pem(Write write) {
  std::unique_ptr<BIO, Deleter<BIO_free>> bio(BIO_new(BIO_s_mem()));
  Check(bio != nullptr && write(bio.get()) == 1, "cannot encode");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

struct LocalCa::Keys {
  KeyPtr caKey;
  CertPtr caCert;
  KeyPtr hostKey;  // one key for every host certificate of this run
};

LocalCa::~LocalCa() = default;

std::unique_ptr<LocalCa> LocalCa::OpenOrCreate(const fs::path& folder) {
  std::unique_ptr<LocalCa> ca(new LocalCa);
  ca->folder_ = fs::absolute(folder);
  ca->keys_ = std::make_unique<Keys>();
  Keys& keys = *ca->keys_;
  const fs::path keyPath = folder / kCaKeyFile;
  const fs::path certPath = folder / kCaCertificateFile;
  std::error_code ec;
  if (!fs::exists(keyPath, ec)) {
    fs::create_directories(folder, ec);
    if (ec) throw HostError("cannot make the folder " + folder.string() + ": " + ec.message());
    chmod(folder.c_str(), 0700);
    keys.caKey = NewKey();
    keys.caCert = NewCertificate(keys.caKey.get(), kCaLifetime);
    X509_NAME* name = X509_get_subject_name(keys.caCert.get());
    AddName(name, "O", "Quillon");
    AddName(name, "CN", "Quillon local authority (" + ThisHostName() + ")");
    Check(X509_set_issuer_name(keys.caCert.get(), name) == 1, "cannot set the issuer");
    X509* cert = keys.caCert.get();
    AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert, cert, NID_subject_key_identifier, "hash");
    Check(X509_sign(cert, keys.caKey.get(), EVP_sha256()) > 0, "cannot sign");
    WriteFileAtomically(keyPath, Pem([&](BIO* bio) {
                          return PEM_write_bio_PrivateKey(bio, keys.caKey.get(), nullptr, nullptr,
                                                          0, nullptr, nullptr);
                        }),
                        0600);
    WriteFileAtomically(certPath, Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert); }),
                        0644);
    ca->created_ = true;
  } else {
    struct stat info {};
    if (stat(keyPath.c_str(), &info) != 0) throw HostError("cannot read " + keyPath.string());
    if ((info.st_mode & 077) != 0) {
      throw HostError(keyPath.string() +
                      " may be read by other users: make it the owner's alone (chmod 600)");
    }
    std::unique_ptr<FILE, Deleter<fclose>> keyFile(fopen(keyPath.c_str(), "re"));
    std::unique_ptr<FILE, Deleter<fclose>> certFile(fopen(certPath.c_str(), "re"));
    if (keyFile == nullptr || certFile == nullptr) {
      throw HostError("cannot read the local certificate authority in " + folder.string());
    }
    keys.caKey.reset(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    keys.caCert.reset(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr));
    if (keys.caKey == nullptr || keys.caCert == nullptr ||
        X509_check_private_key(keys.caCert.get(), keys.caKey.get()) != 1) {
      Fail(folder.string() + " holds no matching certificate and key");
    }
  }
  keys.hostKey = NewKey();
  return ca;
}

fs::path LocalCa::certificatePath() const { return folder_ / kCaCertificateFile; }

std::shared_ptr<ssl::context> LocalCa::ServerContext(std::string_view hostView) {
  std::string host(hostView);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  {
    std::lock_guard lock(mutex_);
    auto found = cache_.find(host);
    if (found != cache_.end()) {
      order_.splice(order_.begin(), order_, found->second.second);
      return found->second.first;
    }
  }
  // Made outside the lock: signing takes a while, and two threads making the same host's
  // certificate at once only waste one.
  auto context = Make(host);
  std::lock_guard lock(mutex_);
  auto found = cache_.find(host);
  if (found != cache_.end()) return found->second.first;
  order_.push_front(host);
  cache_.emplace(host, std::make_pair(context, order_.begin()));
  if (cache_.size() > kHostCertificateCache) {
    cache_.erase(order_.back());
    order_.pop_back();
  }
  return context;
}

std::shared_ptr<ssl::context> LocalCa::Make(const std::string& host) const {
  const Keys& keys = *keys_;
  CertPtr cert = NewCertificate(keys.hostKey.get(), kHostCertificateLifetime);
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (host.size() <= 64) AddName(name, "CN", host);  // longer names live in the SAN alone
  Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(keys.caCert.get())) == 1,
        "cannot set the issuer");
  // The name goes in as data, never through the configuration syntax, where a comma in it
  // would add names of its own.
  NamesPtr names(sk_GENERAL_NAME_new_null());
  GENERAL_NAME* entry = GENERAL_NAME_new();
  Check(names != nullptr && entry != nullptr, "out of memory");
  boost::system::error_code notAddress;
  boost::asio::ip::make_address(host, notAddress);
  if (!notAddress) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
    Check(address != nullptr, "cannot encode an address");
    GENERAL_NAME_set0_value(entry, GEN_IPADD, address);
  } else {
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    Check(dns != nullptr && ASN1_STRING_set(dns, host.data(), static_cast<int>(host.size())) == 1,
          "cannot encode a name");
    GENERAL_NAME_set0_value(entry, GEN_DNS, dns);
  }
  sk_GENERAL_NAME_push(names.get(), entry);
  Check(
      X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) == 1,
      "cannot add the host name");
  AddExtension(cert.get(), keys.caCert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), keys.caCert.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), keys.caCert.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(cert.get(), keys.caCert.get(), NID_authority_key_identifier, "keyid:always");
  Check(X509_sign(cert.get(), keys.caKey.get(), EVP_sha256()) > 0, "cannot sign");

  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  SSL_CTX* native = context->native_handle();
  Check(SSL_CTX_use_certificate(native, cert.get()) == 1 &&
            SSL_CTX_use_PrivateKey(native, keys.hostKey.get()) == 1 &&
            SSL_CTX_add1_chain_cert(native, keys.caCert.get()) == 1,
        "cannot use the host certificate");
  return context;
}

std::unique_ptr<ssl::context> OriginTlsContext(const fs::path& extraAnchors) {
  auto context = std::make_unique<ssl::context>(ssl::context::tls_client);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  boost::system::error_code ec;
  context->set_default_verify_paths(ec);
  if (ec) throw HostError("cannot read the system's certificate store: " + ec.message());
  if (!extraAnchors.empty()) {
    context->load_verify_file(extraAnchors.string(), ec);
    if (ec) throw HostError("cannot read " + extraAnchors.string() + ": " + ec.message());
  }
  context->set_verify_mode(ssl::verify_peer);
  return context;
}

}  // namespace quillon::host
