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
#include <cerrno>
#include <cstdio>
#include <set>

#include "ca_files.h"
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
using NameConstraintsPtr = std::unique_ptr<NAME_CONSTRAINTS, Deleter<NAME_CONSTRAINTS_free>>;

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
// `lifetime`, and never past `issuer`'s end when given.
CertPtr NewCertificate(EVP_PKEY* key, std::chrono::hours lifetime, const X509* issuer = nullptr) {
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
  if (issuer != nullptr &&
      ASN1_TIME_compare(X509_get0_notAfter(issuer), X509_get0_notAfter(cert.get())) < 0) {
    Check(X509_set1_notAfter(cert.get(), X509_get0_notAfter(issuer)) == 1,
          "cannot set the validity");
  }
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

template <class Write>
std::string Pem(Write write) {
  std::unique_ptr<BIO, Deleter<BIO_free>> bio(BIO_new(BIO_s_mem()));
  Check(bio != nullptr && write(bio.get()) == 1, "cannot encode");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

bool IsAddress(const std::string& host) {
  boost::system::error_code notAddress;
  boost::asio::ip::make_address(host, notAddress);
  return !notAddress;
}

GENERAL_NAME* NewName(int type, void* value) {
  GENERAL_NAME* name = GENERAL_NAME_new();
  Check(name != nullptr && value != nullptr, "out of memory");
  GENERAL_NAME_set0_value(name, type, value);
  return name;
}

// A DNS name as a string of the certificate, or an address as its bytes followed by `mask`
// bytes of its length (a name constraint's form; no mask for a subjectAltName).
GENERAL_NAME* NameOf(const std::string& name, bool withMask, unsigned char maskByte = 0xff) {
  if (IsAddress(name)) {
    const auto address = boost::asio::ip::make_address(name);
    std::string bytes;
    if (address.is_v4()) {
      const auto b = address.to_v4().to_bytes();
      bytes.assign(b.begin(), b.end());
    } else {
      const auto b = address.to_v6().to_bytes();
      bytes.assign(b.begin(), b.end());
    }
    if (maskByte == 0) bytes.assign(bytes.size(), '\0');
    if (withMask) bytes.append(bytes.size(), static_cast<char>(maskByte));
    ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
    Check(octets != nullptr &&
              ASN1_OCTET_STRING_set(octets, reinterpret_cast<const unsigned char*>(bytes.data()),
                                    static_cast<int>(bytes.size())) == 1,
          "cannot encode an address");
    return NewName(GEN_IPADD, octets);
  }
  ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
  Check(dns != nullptr && ASN1_STRING_set(dns, name.data(), static_cast<int>(name.size())) == 1,
        "cannot encode a name");
  return NewName(GEN_DNS, dns);
}

// The subjectAltName of a host certificate. The name goes in as data, never through the
// configuration syntax, where a comma in it would add names of its own.
void AddSubjectName(X509* cert, const std::string& name, bool critical) {
  NamesPtr names(sk_GENERAL_NAME_new_null());
  Check(names != nullptr, "out of memory");
  GENERAL_NAME* entry = NameOf(name, false);
  if (sk_GENERAL_NAME_push(names.get(), entry) <= 0) {
    GENERAL_NAME_free(entry);
    Check(false, "out of memory");
  }
  Check(X509_add1_ext_i2d(cert, NID_subject_alt_name, names.get(), critical ? 1 : 0,
                          X509V3_ADD_DEFAULT) == 1,
        "cannot add the host name");
}

void AddSubtree(STACK_OF(GENERAL_SUBTREE) * *trees, GENERAL_NAME* name) {
  if (*trees == nullptr) *trees = sk_GENERAL_SUBTREE_new_null();
  GENERAL_SUBTREE* tree = GENERAL_SUBTREE_new();
  if (*trees == nullptr || tree == nullptr) {
    GENERAL_NAME_free(name);
    GENERAL_SUBTREE_free(tree);
    Check(false, "out of memory");
  }
  GENERAL_NAME_free(tree->base);
  tree->base = name;
  if (sk_GENERAL_SUBTREE_push(*trees, tree) <= 0) {
    GENERAL_SUBTREE_free(tree);
    Check(false, "out of memory");
  }
}

// What the authority may sign: each DNS name with its sub-domains, each address alone. With no
// address among them every address is excluded, since a kind of name without a permitted
// subtree is not constrained at all.
void AddNameConstraints(X509* cert, const std::set<std::string>& names) {
  NameConstraintsPtr constraints(NAME_CONSTRAINTS_new());
  Check(constraints != nullptr, "out of memory");
  bool addresses = false;
  for (const std::string& name : names) {
    addresses = addresses || IsAddress(name);
    AddSubtree(&constraints->permittedSubtrees, NameOf(name, true));
  }
  if (!addresses) {
    AddSubtree(&constraints->excludedSubtrees, NameOf("0.0.0.0", true, 0));
    AddSubtree(&constraints->excludedSubtrees, NameOf("::", true, 0));
  }
  Check(
      X509_add1_ext_i2d(cert, NID_name_constraints, constraints.get(), 1, X509V3_ADD_DEFAULT) == 1,
      "cannot add the name constraints");
}

}  // namespace

std::optional<std::string> CertificateName(std::string_view host) {
  std::string name(host);
  const bool bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
  if (bracketed) name = name.substr(1, name.size() - 2);
  if (name.find('%') == std::string::npos && IsAddress(name)) {
    // One spelling per address, as the certificates are kept by name.
    return boost::asio::ip::make_address(name).to_string();
  }
  if (bracketed) return std::nullopt;
  if (name.ends_with('.')) name.pop_back();
  if (name.empty() || name.size() > kMaxDnsName) return std::nullopt;
  std::size_t label = 0;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '.') {
      if (label == 0) return std::nullopt;
      label = 0;
      continue;
    }
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed || ++label > kMaxDnsLabel) return std::nullopt;
  }
  if (label == 0) return std::nullopt;
  return name;
}

struct LocalCa::Keys {
  KeyPtr caKey;
  CertPtr caCert;
  NameConstraintsPtr constraints;  // of caCert; null for an authority made without them
  KeyPtr hostKey;                  // one key for every host certificate of this run
};

LocalCa::~LocalCa() = default;

std::unique_ptr<LocalCa> LocalCa::OpenOrCreate(const fs::path& folder,
                                               const std::vector<std::string>& names, bool renew) {
  std::unique_ptr<LocalCa> ca(new LocalCa);
  ca->folder_ = fs::absolute(folder);
  ca->keys_ = std::make_unique<Keys>();
  Keys& keys = *ca->keys_;
  PrepareFolder(ca->folder_);
  const fs::path keyPath = ca->folder_ / kCaKeyFile;
  const fs::path certPath = ca->folder_ / kCaCertificateFile;
  std::set<std::string> signable;
  for (const std::string& name : names) {
    // A name no certificate may carry is tunnelled whatever the authority.
    if (auto valid = CertificateName(name)) signable.insert(*valid);
  }
  std::error_code ec;
  const bool found = fs::exists(fs::symlink_status(keyPath, ec));
  if (renew) {
    ca->madeBecause_ = "renewed by --renew-ca";
  } else if (!found) {
    ca->madeBecause_ = "none was there";
  } else {
    CaFile keyFile = OpenOwnFile(
        keyPath, 077, " may be read by other users: make it the owner's alone (chmod 600)");
    CaFile certFile = OpenOwnFile(certPath, 022, " may be written by other users");
    keys.caKey.reset(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    keys.caCert.reset(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr));
    if (keys.caKey == nullptr || keys.caCert == nullptr ||
        X509_check_private_key(keys.caCert.get(), keys.caKey.get()) != 1) {
      Fail(ca->folder_.string() + " holds no matching certificate and key");
    }
    if (X509_check_ca(keys.caCert.get()) != 1 ||
        (X509_get_key_usage(keys.caCert.get()) & KU_KEY_CERT_SIGN) == 0) {
      throw HostError(certPath.string() +
                      " is not a certificate authority: quillon-proxy --renew-ca makes a new one");
    }
    if (X509_cmp_current_time(X509_get0_notAfter(keys.caCert.get())) <= 0) {
      ca->madeBecause_ = "the one there had expired";
    }
  }
  if (!ca->madeBecause_.empty()) {
    keys.caKey = NewKey();
    keys.caCert = NewCertificate(keys.caKey.get(), kCaLifetime);
    X509_NAME* name = X509_get_subject_name(keys.caCert.get());
    AddName(name, "O", "Quillon");
    AddName(name, "CN", "Quillon local authority (" + ThisHostName() + ")");
    Check(X509_set_issuer_name(keys.caCert.get(), name) == 1, "cannot set the issuer");
    X509* cert = keys.caCert.get();
    AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    // Server certificates only: no mail, no code.
    AddExtension(cert, cert, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, cert, NID_subject_key_identifier, "hash");
    if (!signable.empty()) AddNameConstraints(cert, signable);
    Check(X509_sign(cert, keys.caKey.get(), EVP_sha256()) > 0, "cannot sign");
    WriteFileAtomically(keyPath, Pem([&](BIO* bio) {
                          return PEM_write_bio_PrivateKey(bio, keys.caKey.get(), nullptr, nullptr,
                                                          0, nullptr, nullptr);
                        }),
                        0600);
    WriteFileAtomically(certPath, Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert); }),
                        0644);
    ca->created_ = true;
  }
  keys.constraints.reset(static_cast<NAME_CONSTRAINTS*>(
      X509_get_ext_d2i(keys.caCert.get(), NID_name_constraints, nullptr, nullptr)));
  for (const std::string& name : signable) {
    if (!ca->Permits(name)) ca->outside_.push_back(name);
  }
  keys.hostKey = NewKey();
  return ca;
}

fs::path LocalCa::certificatePath() const { return folder_ / kCaCertificateFile; }

bool LocalCa::constrained() const { return keys_->constraints != nullptr; }

bool LocalCa::Permits(std::string_view host) const {
  const auto name = CertificateName(host);
  if (!name) return false;
  if (keys_->constraints == nullptr) return true;
  {
    std::lock_guard lock(mutex_);
    if (permitted_.count(*name) != 0) return true;
  }
  // OpenSSL's own check, on a certificate that carries the name as a host certificate would.
  CertPtr probe(X509_new());
  Check(probe != nullptr, "out of memory");
  AddSubjectName(probe.get(), *name, false);
  // The check reads the names the certificate's extensions were parsed into.
  if ((X509_get_extension_flags(probe.get()) & EXFLAG_INVALID) != 0) return false;
  if (NAME_CONSTRAINTS_check(probe.get(), keys_->constraints.get()) != X509_V_OK) return false;
  std::lock_guard lock(mutex_);
  if (permitted_.size() >= kHostCertificateCache) permitted_.clear();
  permitted_.insert(*name);
  return true;
}

std::shared_ptr<ssl::context> LocalCa::ServerContext(std::string_view hostView) {
  const auto name = CertificateName(hostView);
  if (!name) throw HostError("no certificate is made for this name");
  const std::string& host = *name;
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
  made_.fetch_add(1, std::memory_order_relaxed);
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
  CertPtr cert = NewCertificate(keys.hostKey.get(), kHostCertificateLifetime, keys.caCert.get());
  // A DNS name goes in the subject too; an address does not, since a verifier may read a
  // subject name as a DNS name against the authority's constraints. The subjectAltName of a
  // certificate without a subject is critical (RFC 5280 4.2.1.6).
  const bool address = IsAddress(host);
  if (!address && host.size() <= 64) {  // longer names live in the SAN alone
    AddName(X509_get_subject_name(cert.get()), "CN", host);
  }
  Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(keys.caCert.get())) == 1,
        "cannot set the issuer");
  AddSubjectName(cert.get(), host, address);
  AddExtension(cert.get(), keys.caCert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), keys.caCert.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), keys.caCert.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(cert.get(), keys.caCert.get(), NID_authority_key_identifier, "keyid:always");
  Check(X509_sign(cert.get(), keys.caKey.get(), EVP_sha256()) > 0, "cannot sign");

  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  SSL_CTX* native = context->native_handle();
  // Browsers resume with TLS 1.3 tickets, which carry their own state: a server-side session
  // cache would only be filled, and swept every 255 handshakes under its lock.
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
  // The leaf alone: the authority is the browser's own trust anchor, which a server need not send
  // (RFC 8446 4.4.2), and every handshake would carry and parse it for nothing.
  Check(SSL_CTX_use_certificate(native, cert.get()) == 1 &&
            SSL_CTX_use_PrivateKey(native, keys.hostKey.get()) == 1,
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
