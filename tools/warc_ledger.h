// The bookkeeping of a WARC import: what each record gave, the keys revisits find it by, the
// latest capture of each address and the revisits still unresolved. It lives in an SQLite file
// of its own beside the staged payloads, so memory stays flat however many records there are.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sqlite.h"

namespace quillon::disc {

// What a record that others may point to gave: a staged payload, a redirect, or a reason it was
// skipped (a revisit of a 404 is skipped as one).
struct Payload {
  std::string file{};  // its name in the stage folder; empty for no payload
  std::uint64_t size = 0;
  std::string sha1{};  // of the staged bytes, lower-case hexadecimal
  std::string extension{};
  std::string contentType{};
  std::int64_t lastModified = 0;
  std::string location{};
  std::string skipped{};
};

// A capture of an address: its date and place among the records, and what it is.
struct Capture {
  std::int64_t date = 0;    // WARC-Date, nanoseconds
  std::uint64_t order = 0;  // the record's place among all read
  bool redirect = false;
  std::int64_t payload = -1;  // a document's
  std::string location{};     // a redirect's
};

// A revisit waiting for the record it points to.
struct Revisit {
  std::string url;
  Capture capture;
  std::string refersTo, refersToUri, refersToDate, digest;
  std::string recordId, dateKey;  // its own, for revisits of it
};

class Ledger {
 public:
  // The keys a payload is found by.
  enum class Key { kRecordId, kUriDate, kDigest };

  explicit Ledger(const std::filesystem::path& file);  // made anew; removed with the ledger
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;

  std::int64_t AddPayload(const Payload& payload);
  Payload GetPayload(std::int64_t id);
  // Files `id` under `key`; `replace` says whether it takes the key from a payload filed before.
  void File(Key kind, std::string_view key, std::int64_t id, bool replace);
  std::optional<std::int64_t> Find(Key kind, std::string_view key);
  // The latest original capture of an address (the later record on a tie), for revisits that
  // name the address alone.
  void OfferOriginal(std::string_view url, std::int64_t date, std::int64_t id);
  std::optional<std::int64_t> FindOriginal(std::string_view url);

  // Keeps the capture where it is the address's latest (WARC-Date, then the later record).
  void Offer(std::string_view url, const Capture& capture);
  bool HasCapture(std::string_view url);
  std::optional<Capture> Latest(std::string_view url);
  // Turns the address's capture into a redirect to `location`.
  void MakeRedirect(std::string_view url, std::string_view location);

  void AddPending(const Revisit& revisit);
  // Calls `resolve` for each pending revisit in the order they came; those it returns true for
  // are done with.
  void ForEachPending(const std::function<bool(const Revisit&)>& resolve);
  std::size_t PendingCount();

  // The next document capture after the address `after` whose address is a folder's ("DIR/");
  // false at the end. `after` becomes its address.
  bool NextFolder(std::string& after, Capture& capture);
  // The latest captures, redirects or documents, in address order.
  void ForEachCapture(bool redirects,
                      const std::function<void(const std::string& url, const Capture&)>& visit);
  std::size_t CountCaptures(bool redirects);

 private:
  struct Statements;
  std::filesystem::path file_;
  std::unique_ptr<viewer::Database> db_;
  std::unique_ptr<Statements> statements_;
};

}  // namespace quillon::disc
