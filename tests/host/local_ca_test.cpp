// The local authority: what it signs for and what OpenSSL's verifier makes of the result, and
// which folders and files it takes, refuses or replaces.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "filter_host.h"
#include "local_ca.h"

namespace quillon::host {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;

fs::path TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "quillon-ca-XXXXXX").string();
  EXPECT_NE(mkdtemp(pattern.data()), nullptr);
  return pattern;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

X509* ReadCertificate(const fs::path& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  return cert;
}

// OpenSSL's verdict on `leaf` under the authority in `folder` as the one trusted authority,
// for a TLS server, now: X509_V_OK or the failure.
int Verify(const fs::path& folder, X509* leaf) {
  X509* root = ReadCertificate(folder / kCaCertificateFile);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, root);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, store, leaf, nullptr);
  X509_STORE_CTX_set_purpose(context, X509_PURPOSE_SSL_SERVER);
  const int verdict =
      X509_verify_cert(context) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
  X509_STORE_CTX_free(context);
  X509_STORE_free(store);
  X509_free(root);
  return verdict;
}

// An authority written as another program (or an older quillon-proxy) might have left it.
void WriteAuthority(const fs::path& folder, const char* basicConstraints, long validFrom,
                    long validFor) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), validFrom);
  X509_gmtime_adj(X509_getm_notAfter(cert), validFrom + validFor);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("left here"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension =
      X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, basicConstraints);
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  X509_sign(cert, key, EVP_sha256());
  fs::create_directories(folder);
  FILE* out = std::fopen((folder / kCaKeyFile).c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  chmod((folder / kCaKeyFile).c_str(), 0600);
  out = std::fopen((folder / kCaCertificateFile).c_str(), "w");
  PEM_write_X509(out, cert);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
}

const std::vector<std::string> kDiscNames = {"quillon.internal", "Secure.Example", "127.0.0.1",
                                             "[2001:db8::1]", "*.wild.example"};

TEST(LocalCa, SignsOnlyTheDiscsNamesAndOpenSslAgrees) {
  const fs::path folder = TempFolder();
  const auto ca = LocalCa::OpenOrCreate(folder / "ca", kDiscNames);
  const std::string label63(63, 'a');
  const struct {
    std::string host;
    bool made;       // ServerContext makes a certificate
    bool permitted;  // inside the name constraints
  } rows[] = {
      {"start.quillon.internal", true, true},
      {"secure.example", true, true},
      {"SECURE.example.", true, true},
      {"deep.sub.secure.example", true, true},
      {"127.0.0.1", true, true},
      {"[2001:db8::1]", true, true},
      {"2001:db8:0::1", true, true},
      {"other.example", true, false},
      {"secure.example.evil", true, false},
      {"notsecure.example", true, false},
      {"127.0.0.2", true, false},
      {"::1", true, false},
      {label63 + ".secure.example", true, true},
      {label63 + "a.secure.example", false, false},
      {"*.secure.example", false, false},
      {"a*.secure.example", false, false},
      {"wild.example", true, false},
      {"a..secure.example", false, false},
      {"bad name.secure.example", false, false},
      {"fe80::1%lo", false, false},
      {"[not.an.address]", false, false},
      {"", false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host);
    EXPECT_EQ(ca->Permits(row.host), row.permitted);
    std::shared_ptr<boost::asio::ssl::context> context;
    try {
      context = ca->ServerContext(row.host);
    } catch (const HostError&) {
    }
    ASSERT_EQ(context != nullptr, row.made);
    if (!row.made) continue;
    X509* leaf = SSL_CTX_get0_certificate(context->native_handle());
    EXPECT_EQ(Verify(folder / "ca", leaf) == X509_V_OK, row.permitted)
        << X509_verify_cert_error_string(Verify(folder / "ca", leaf));
    // The leaf never outlives its authority, which lives at most two years.
    X509* root = ReadCertificate(folder / "ca" / kCaCertificateFile);
    int days = 0, seconds = 0;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(root), X509_get0_notAfter(root));
    EXPECT_LE(days, 731);
    EXPECT_LE(ASN1_TIME_compare(X509_get0_notAfter(leaf), X509_get0_notAfter(root)), 0);
    X509_free(root);
  }
  // The disc's names the authority may sign, none outside; the wildcard is no name of a host.
  EXPECT_TRUE(ca->outside().empty());
  EXPECT_TRUE(ca->constrained());
  fs::remove_all(folder);
}

TEST(LocalCa, FoldersAndFilesItTakesRefusesOrReplaces) {
  using Setup = std::function<void(const fs::path&)>;
  const auto mode = [](const char* name, mode_t m) {
    return [=](const fs::path& f) { chmod((f / name).c_str(), m); };
  };
  const auto owner = [](const char* name) {
    return [=](const fs::path& f) { ASSERT_EQ(chown((f / name).c_str(), kOtherUser, -1), 0); };
  };
  const auto made = [](const fs::path& f) {
    LocalCa::OpenOrCreate(f, {"quillon.internal", "old.example"});
  };
  const auto then = [](Setup a, Setup b) {
    return [=](const fs::path& f) {
      a(f);
      b(f);
    };
  };
  enum class Outcome { kFound, kMade, kRefused };
  const struct {
    const char* what;
    Setup setup;  // on the authority's folder, which exists beforehand when `existing`
    bool existing;
    bool renew;
    Outcome outcome;
    mode_t folderMode;  // the folder's mode afterwards
    std::vector<std::string> outside;
  } rows[] = {
      {"missing folder", [](const fs::path&) {}, false, false, Outcome::kMade, 0700, {}},
      {"own empty folder kept as it is",
       [](const fs::path& f) { chmod(f.c_str(), 0755); },
       true,
       false,
       Outcome::kMade,
       0755,
       {}},
      {"folder open to all, like /tmp",
       [](const fs::path& f) { chmod(f.c_str(), 01777); },
       true,
       false,
       Outcome::kRefused,
       01777,
       {}},
      {"group-writable folder",
       [](const fs::path& f) { chmod(f.c_str(), 0770); },
       true,
       false,
       Outcome::kRefused,
       0770,
       {}},
      {"another user's folder",
       [](const fs::path& f) { ASSERT_EQ(chown(f.c_str(), kOtherUser, -1), 0); },
       true,
       false,
       Outcome::kRefused,
       0700,
       {}},
      {"found, with the disc's new host outside",
       made,
       true,
       false,
       Outcome::kFound,
       0700,
       {"new.example"}},
      {"renewed for the disc's hosts", made, true, true, Outcome::kMade, 0700, {}},
      {"key readable by the group",
       then(made, mode("ca.key", 0640)),
       true,
       false,
       Outcome::kRefused,
       0700,
       {}},
      {"key of another user",
       then(made, owner("ca.key")),
       true,
       false,
       Outcome::kRefused,
       0700,
       {}},
      {"certificate writable by others",
       then(made, mode("ca.pem", 0666)),
       true,
       false,
       Outcome::kRefused,
       0700,
       {}},
      {"key through a link",
       then(made,
            [](const fs::path& f) {
              fs::rename(f / "ca.key", f / "real.key");
              fs::create_symlink(f / "real.key", f / "ca.key");
            }),
       true,
       false,
       Outcome::kRefused,
       0700,
       {}},
      {"not an authority",
       [](const fs::path& f) { WriteAuthority(f, "critical,CA:FALSE", -3600, 86400); },
       true,
       false,
       Outcome::kRefused,
       0700,
       {}},
      {"not an authority, renewed",
       [](const fs::path& f) { WriteAuthority(f, "critical,CA:FALSE", -3600, 86400); },
       true,
       true,
       Outcome::kMade,
       0700,
       {}},
      {"expired authority replaced",
       [](const fs::path& f) { WriteAuthority(f, "critical,CA:TRUE", -7200, 3600); },
       true,
       false,
       Outcome::kMade,
       0700,
       {}},
      {"authority without constraints found",
       [](const fs::path& f) { WriteAuthority(f, "critical,CA:TRUE", -3600, 86400); },
       true,
       false,
       Outcome::kFound,
       0700,
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const fs::path base = TempFolder();
    const fs::path folder = base / "ca";
    if (row.existing) {
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    }
    row.setup(folder);
    const std::string before = ReadAll(folder / kCaCertificateFile);
    std::unique_ptr<LocalCa> ca;
    try {
      ca = LocalCa::OpenOrCreate(folder, {"quillon.internal", "old.example", "new.example"},
                                 row.renew);
    } catch (const HostError&) {
    }
    ASSERT_EQ(ca == nullptr, row.outcome == Outcome::kRefused);
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, row.folderMode);
    if (ca != nullptr) {
      EXPECT_EQ(ca->created(), row.outcome == Outcome::kMade);
      EXPECT_EQ(ReadAll(folder / kCaCertificateFile) == before, row.outcome == Outcome::kFound);
      EXPECT_EQ(ca->outside(), row.outside);
      struct stat key {};
      ASSERT_EQ(stat((folder / kCaKeyFile).c_str(), &key), 0);
      EXPECT_EQ(key.st_mode & 0777, 0600u);
    }
    fs::remove_all(base);
  }
}

}  // namespace
}  // namespace quillon::host
