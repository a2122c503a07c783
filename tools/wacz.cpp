#include "wacz.h"

#include <zip.h>

#include <boost/json/src.hpp>
#include <stdexcept>

namespace quillon::wacz {

namespace {

constexpr std::string_view kArchiveFolder = "archive/";
constexpr const char* kPagesMember = "pages/pages.jsonl";
constexpr std::size_t kReadBlock = 64 * 1024;

class MemberInput : public warc::Input {
 public:
  MemberInput(zip_file_t* file, std::string name) : file_(file), name_(std::move(name)) {}
  ~MemberInput() override { zip_fclose(file_); }
  MemberInput(const MemberInput&) = delete;
  MemberInput& operator=(const MemberInput&) = delete;
  std::size_t Read(char* out, std::size_t size) override {
    const zip_int64_t got = zip_fread(file_, out, size);
    if (got < 0) throw std::runtime_error(name_ + ": " + zip_file_strerror(file_));
    return static_cast<std::size_t>(got);
  }

 private:
  zip_file_t* file_;
  std::string name_;
};

}  // namespace

bool LooksLikeZip(std::string_view firstBytes) { return firstBytes.starts_with("PK\x03\x04"); }

std::optional<Page> ParsePageLine(std::string_view line) {
  boost::system::error_code ec;
  const boost::json::value value = boost::json::parse(line, ec);
  if (ec || !value.is_object()) return std::nullopt;
  const boost::json::object& object = value.as_object();
  const boost::json::value* url = object.if_contains("url");
  if (url == nullptr || !url->is_string()) return std::nullopt;
  Page page{std::string(url->as_string()), {}};
  if (const boost::json::value* title = object.if_contains("title");
      title != nullptr && title->is_string()) {
    page.title = std::string(title->as_string());
  }
  return page;
}

Archive::Archive(const std::string& path) : path_(path) {
  int error = 0;
  zip_ = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (zip_ == nullptr) {
    zip_error_t why;
    zip_error_init_with_code(&why, error);
    const std::string text = zip_error_strerror(&why);
    zip_error_fini(&why);
    throw std::runtime_error(path + ": not a readable WACZ file (" + text + ")");
  }
}

Archive::~Archive() { zip_discard(zip_); }

std::vector<std::string> Archive::Archives() const {
  std::vector<std::string> names;
  const zip_int64_t count = zip_get_num_entries(zip_, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr) continue;
    const std::string_view text = name;
    if (text.starts_with(kArchiveFolder) && text.size() > kArchiveFolder.size() &&
        !text.ends_with("/")) {
      names.emplace_back(text);
    }
  }
  return names;
}

std::unique_ptr<warc::Input> Archive::Open(const std::string& member) const {
  zip_file_t* file = zip_fopen(zip_, member.c_str(), 0);
  if (file == nullptr) {
    throw std::runtime_error(path_ + ": " + member + ": " + zip_strerror(zip_));
  }
  return std::make_unique<MemberInput>(file, path_ + ": " + member);
}

std::vector<Page> Archive::Pages() const {
  std::vector<Page> pages;
  if (zip_name_locate(zip_, kPagesMember, 0) < 0) return pages;
  const std::unique_ptr<warc::Input> input = Open(kPagesMember);
  std::string line;
  bool tooLong = false;
  std::vector<char> block(kReadBlock);
  auto take = [&] {
    if (!tooLong && pages.size() < kMostPages) {
      if (auto page = ParsePageLine(line)) pages.push_back(std::move(*page));
    }
    line.clear();
    tooLong = false;
  };
  for (std::size_t got; (got = input->Read(block.data(), block.size())) > 0;) {
    for (std::string_view rest(block.data(), got); !rest.empty();) {
      const std::size_t end = rest.find('\n');
      const std::string_view piece = rest.substr(0, end);
      if (!tooLong) line.append(piece);
      if (line.size() > kLongestPageLine) {
        tooLong = true;
        line.clear();
      }
      if (end == std::string_view::npos) break;
      take();
      rest.remove_prefix(end + 1);
    }
  }
  take();
  return pages;
}

}  // namespace quillon::wacz
