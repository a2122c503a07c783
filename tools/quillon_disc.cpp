// quillon-disc: make a disc from a mirrored web site or WARC files, and look into one.
#include <sys/resource.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "disc.h"
#include "disc_builder.h"
#include "zim_disc.h"

namespace {

using namespace quillon;

// Exit codes: 0 done, 1 failed, 2 bad arguments or a damaged ZIM file, 3 made but damaged WARC
// records were left out.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSkippedDamaged = 3;

// A damaged ZIM file can make libzim size a table from garbage: gigabytes for a file of a few
// hundred bytes, filled for minutes. A ZIM import's address space is bounded to the file's size
// plus this, so such a table fails as out of memory (exit 2). Sanitizers reserve far more
// address space of their own: their builds go unbounded.
constexpr std::uint64_t kZimAddressSpace = std::uint64_t{4} << 30;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

void BoundAddressSpace(const disc::fs::path& zim) {
  if (kSanitized) return;
  std::error_code ec;
  const disc::fs::path open = disc::ZimOpenPath(zim);
  std::uintmax_t size = disc::fs::exists(open, ec) ? disc::fs::file_size(open, ec) : 0;
  // A split file: FILE.zimaa, FILE.zimab, ... count together.
  bool more = true;
  for (char a = 'a'; a <= 'z' && more; ++a) {
    for (char b = 'a'; b <= 'z' && more; ++b) {
      const disc::fs::path part = open.string() + a + b;
      more = disc::fs::exists(part, ec);
      if (more) size += disc::fs::file_size(part, ec);
    }
  }
  const rlimit limit{size + kZimAddressSpace, size + kZimAddressSpace};
  ::setrlimit(RLIMIT_AS, &limit);
}

// A progress bar on a terminal only; redirected output stays clean.
class Progress {
 public:
  explicit Progress(bool bytes = false) : enabled_(::isatty(STDERR_FILENO) != 0), bytes_(bytes) {}
  void operator()(std::uint64_t done, std::uint64_t total) {
    if (!enabled_ || total == 0) return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == last_ && done != total) return;
    last_ = percent;
    const int filled = percent * 40 / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% ", filled, "########################################",
                 40 - filled, "", percent);
    if (bytes_) {
      std::fprintf(stderr, "%.1f/%.1f MiB", static_cast<double>(done) / kMiB,
                   static_cast<double>(total) / kMiB);
    } else {
      std::fprintf(stderr, "%llu/%llu", static_cast<unsigned long long>(done),
                   static_cast<unsigned long long>(total));
    }
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  static constexpr double kMiB = 1024.0 * 1024.0;
  bool enabled_;
  bool bytes_;
  int last_ = -1;
};

void PrintWarcProblem(const disc::fs::path& file, std::uint64_t offset, const std::string& what) {
  std::fprintf(stderr, "quillon-disc: %s: offset %llu: %s; record skipped\n", file.c_str(),
               static_cast<unsigned long long>(offset), what.c_str());
}

// "41 records read (3.2 MiB, 12.5 MiB/s); skipped: 2 status 404, 1 broken record"
std::string WarcLine(const disc::WarcSummary& summary, double seconds) {
  const double mib = static_cast<double>(summary.bytes) / (1024.0 * 1024.0);
  char text[128];
  std::snprintf(text, sizeof text, "%llu records read (%.1f MiB, %.1f MiB/s)",
                static_cast<unsigned long long>(summary.records), mib,
                seconds > 0 ? mib / seconds : 0.0);
  std::string line = text;
  std::string separator = "; skipped: ";
  for (const auto& [why, count] : summary.skipped) {
    line += separator + std::to_string(count) + " " + why;
    separator = ", ";
  }
  return line;
}

std::string TimeText(std::int64_t t) {
  return t == 0 ? "-" : FormatHttpDate(static_cast<HttpTime>(t));
}

void PrintRow(const disc::DocumentRow& row) {
  std::cout << "number:        " << row.number << "\n"
            << "url:           " << row.url << "\n"
            << "file:          "
            << (row.redirectUrl.empty() ? disc::DocumentPath(row.number, row.extension).string()
                                        : std::string("-"))
            << "\n"
            << "extension:     " << row.extension << "\n"
            << "content type:  " << (row.contentType.empty() ? "(by extension)" : row.contentType)
            << "\n"
            << "redirect:      " << (row.redirectUrl.empty() ? "-" : row.redirectUrl) << "\n"
            << "stale after:   " << TimeText(row.staleAfter) << "\n"
            << "last modified: " << TimeText(row.lastModified) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Make and inspect Quillon discs"};
  app.set_version_flag("--version", "quillon-disc 0.1.0");
  // Every subcommand's options at once: the manual page is made from it.
  app.set_help_all_flag("--help-all", "Print the help of every subcommand and exit");
  app.require_subcommand(1);

  disc::CreateOptions create;
  std::string staleAfter;
  std::string extra, redirects;
  std::vector<std::string> createWarcs;
  auto* createCommand =
      app.add_subcommand("create", "Build a disc from a mirrored web site or WARC files");
  createCommand->add_option("disc", create.disc, "Disc folder to create")->required();
  auto* fromOption =
      createCommand->add_option("--from", create.mirror, "Mirror folder (host/path layout)");
  auto* fromWarcOption = createCommand->add_option(
      "--from-warc", createWarcs,
      "WARC, ARC or WACZ file (.warc, .warc.gz, .arc, .arc.gz, .wacz); may be given again");
  fromOption->excludes(fromWarcOption);
  disc::ZimOptions zim;
  std::string createZim;
  auto* fromZimOption = createCommand->add_option(
      "--from-zim", createZim, "ZIM file (.zim, or the first part of a split one, .zimaa)");
  fromZimOption->excludes(fromOption)->excludes(fromWarcOption);
  createCommand->add_option("--host", zim.host, "Host the ZIM's pages answer for")
      ->needs(fromZimOption);
  createCommand->add_flag("--verify", zim.verify, "Compare the ZIM's checksum first")
      ->needs(fromZimOption);
  createCommand->add_option("--scheme", create.scheme, "Scheme the mirror was made with")
      ->check(CLI::IsMember({"http", "https"}))
      ->needs(fromOption);
  createCommand->add_option("--title", create.title, "Title of the disc");
  createCommand->add_option("--stale-after", staleAfter,
                            "Documents count as stale this long after the build (7d, 12h, ...)");
  createCommand->add_option("--redirects", redirects, "File of \"URL TARGET\" lines");
  createCommand->add_option("--extra", extra,
                            "Folder copied into the disc root (docs/lummisc0, program, ...)");
  createCommand->add_flag("--force", create.force, "Replace an existing disc");

  std::string discPath;
  disc::AddOptions add;
  std::string addFile, addStale;
  std::vector<std::string> addWarcs;
  auto* addCommand =
      app.add_subcommand("add", "Add one document, or the captures of WARC files, to a disc");
  addCommand->add_option("disc", discPath, "Disc folder")->required();
  auto* urlOption = addCommand->add_option("url", add.url, "Address the document answers for");
  auto* addWarcOption = addCommand->add_option(
      "--from-warc", addWarcs,
      "WARC, ARC or WACZ file whose captures join the disc; may be given again");
  urlOption->excludes(addWarcOption);
  std::string addZim;
  auto* addZimOption = addCommand->add_option(
      "--from-zim", addZim, "ZIM file whose entries join the disc (.zim or .zimaa)");
  addZimOption->excludes(urlOption)->excludes(addWarcOption);
  addCommand->add_option("--host", zim.host, "Host the ZIM's pages answer for")
      ->needs(addZimOption);
  addCommand->add_flag("--verify", zim.verify, "Compare the ZIM's checksum first")
      ->needs(addZimOption);
  addCommand->add_option("file", addFile, "The document's file");
  addCommand->add_option("--redirect", add.redirectUrl, "Send the browser to this address");
  addCommand->add_option("--content-type", add.contentType, "Content type to store");
  addCommand->add_option("--stale-after", addStale, "Stale this long after now (7d, 12h, ...)");

  auto* listCommand = app.add_subcommand("list", "List a disc's documents");
  listCommand->add_option("disc", discPath, "Disc folder")->required();

  std::string key;
  auto* showCommand = app.add_subcommand("show", "Show one document by address or number");
  showCommand->add_option("disc", discPath, "Disc folder")->required();
  showCommand->add_option("document", key, "URL or number")->required();

  auto* checkCommand = app.add_subcommand("check", "Check a disc's files against its catalogue");
  checkCommand->add_option("disc", discPath, "Disc folder")->required();
  bool deep = false;
  checkCommand->add_flag("--deep", deep, "Also read every file and compare its SHA-1");

  std::string exportFile;
  auto* exportCommand = app.add_subcommand("export", "Write a disc as a WARC file");
  exportCommand->add_option("disc", discPath, "Disc folder")->required();
  exportCommand->add_option("--warc", exportFile, "WARC file to write (FILE.warc.gz)")->required();

  auto* indexCommand =
      app.add_subcommand("index", "Build a disc's full-text search index anew from its pages");
  indexCommand->add_option("disc", discPath, "Disc folder")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  if (createCommand->parsed() && create.mirror.empty() && createWarcs.empty() &&
      createZim.empty()) {
    std::fprintf(stderr,
                 "quillon-disc: create needs --from MIRROR, --from-warc FILE or --from-zim FILE\n");
    return kExitUsage;
  }
  if (!createZim.empty() && (!extra.empty() || !redirects.empty() || !staleAfter.empty())) {
    std::fprintf(
        stderr, "quillon-disc: --extra, --redirects and --stale-after do not go with --from-zim\n");
    return kExitUsage;
  }
  if (addCommand->parsed() && add.url.empty() && addWarcs.empty() && addZim.empty()) {
    std::fprintf(stderr, "quillon-disc: add needs a URL, --from-warc FILE or --from-zim FILE\n");
    return kExitUsage;
  }

  try {
    if (!createZim.empty() || !addZim.empty()) {
      const bool creating = createCommand->parsed();
      zim.zim = creating ? createZim : addZim;
      BoundAddressSpace(zim.zim);
      zim.title = create.title;
      zim.force = create.force;
      Progress progress;
      zim.progress = [&progress](std::uint64_t done, std::uint64_t total) {
        progress(done, total);
      };
      const auto start = std::chrono::steady_clock::now();
      const disc::ZimSummary summary =
          creating ? disc::CreateFromZim(create.disc, zim) : disc::AddFromZim(discPath, zim);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf(
          "%s %s: %zu documents, %zu redirects for http://%s/, %.1f MiB; %llu entries "
          "read in %.1f s",
          creating ? "created" : "added to", creating ? create.disc.c_str() : discPath.c_str(),
          summary.documents, summary.redirects, summary.host.c_str(),
          static_cast<double>(summary.bytes) / (1024.0 * 1024.0),
          static_cast<unsigned long long>(summary.entries), seconds);
      std::string separator = "; skipped: ";
      for (const auto& [why, count] : summary.skipped) {
        std::printf("%s%zu %s", separator.c_str(), count, why.c_str());
        separator = ", ";
      }
      std::printf("\n");
    } else if (createCommand->parsed()) {
      if (!staleAfter.empty()) create.staleAfter = disc::ParseDuration(staleAfter);
      if (!extra.empty()) create.extra = extra;
      if (!redirects.empty()) create.redirects = redirects;
      create.warcs.assign(createWarcs.begin(), createWarcs.end());
      create.onWarcProblem = PrintWarcProblem;
      Progress progress(!create.warcs.empty());
      create.progress = [&progress](std::size_t done, std::size_t total) { progress(done, total); };
      const auto start = std::chrono::steady_clock::now();
      const disc::CreateSummary summary = disc::CreateDisc(create);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("created %s: %zu documents, %zu redirects, %.1f MiB in %.1f s",
                  create.disc.c_str(), summary.documents, summary.redirects,
                  static_cast<double>(summary.bytes) / (1024.0 * 1024.0), seconds);
      if (!create.warcs.empty()) std::printf("; %s", WarcLine(summary.warc, seconds).c_str());
      std::printf("\n");
      if (summary.warc.broken > 0) return kExitSkippedDamaged;
    } else if (addCommand->parsed() && !addWarcs.empty()) {
      Progress progress(true);
      const auto start = std::chrono::steady_clock::now();
      const disc::WarcSummary summary = disc::AddFromWarc(
          discPath, {addWarcs.begin(), addWarcs.end()}, PrintWarcProblem,
          [&progress](std::uint64_t done, std::uint64_t total) { progress(done, total); });
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("added to %s: %zu documents, %zu redirects; %s\n", discPath.c_str(),
                  summary.documents, summary.redirects, WarcLine(summary, seconds).c_str());
      if (summary.broken > 0) return kExitSkippedDamaged;
    } else if (addCommand->parsed()) {
      if (!addFile.empty()) add.file = addFile;
      if (!addStale.empty()) add.staleAfter = disc::ParseDuration(addStale);
      const disc::DocumentRow row = disc::AddDocument(discPath, add);
      std::printf("added document %lld: %s\n", static_cast<long long>(row.number), row.url.c_str());
    } else if (listCommand->parsed()) {
      const viewer::DiscInfo info = disc::ReadDiscInformation(discPath);
      std::printf("title:   %s\ncreated: %s\n", info.title.empty() ? "-" : info.title.c_str(),
                  TimeText(info.created).c_str());
      for (const disc::DocumentRow& row : disc::ListDocuments(discPath)) {
        std::printf("%7lld  %-4s  %s%s%s\n", static_cast<long long>(row.number),
                    row.extension.c_str(), row.url.c_str(), row.redirectUrl.empty() ? "" : "  -> ",
                    row.redirectUrl.c_str());
      }
    } else if (showCommand->parsed()) {
      const auto row = disc::FindDocument(discPath, key);
      if (!row) {
        std::fprintf(stderr, "quillon-disc: %s: no such document\n", key.c_str());
        return kExitFailed;
      }
      PrintRow(*row);
    } else if (checkCommand->parsed()) {
      const auto problems = disc::CheckDisc(discPath, deep);
      for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
      if (!problems.empty()) {
        std::fprintf(stderr, "quillon-disc: %s: %zu %s\n", discPath.c_str(), problems.size(),
                     problems.size() == 1 ? "problem" : "problems");
        return kExitFailed;
      }
      std::printf("%s: ok\n", discPath.c_str());
    } else if (exportCommand->parsed()) {
      const std::size_t written = disc::ExportWarc(discPath, exportFile);
      std::printf("exported %zu documents and redirects of %s to %s\n", written, discPath.c_str(),
                  exportFile.c_str());
    } else if (indexCommand->parsed()) {
      std::printf("indexed %zu pages of %s\n", disc::IndexDisc(discPath), discPath.c_str());
    }
  } catch (const disc::ZimError& e) {
    std::fprintf(stderr, "quillon-disc: %s\n", e.what());
    return kExitUsage;
  } catch (const viewer::SqliteError& e) {
    std::fprintf(stderr, "quillon-disc: %s: %s\n", discPath.c_str(), e.Explained().c_str());
    return kExitFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-disc: %s\n", e.what());
    return kExitFailed;
  }
  return 0;
}
