// quillon-disc: make a disc from a mirrored web site, and look into one.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "disc.h"
#include "disc_builder.h"

namespace {

using namespace quillon;

// A progress bar on a terminal only; redirected output stays clean.
class Progress {
 public:
  Progress() : enabled_(::isatty(STDERR_FILENO) != 0) {}
  void operator()(std::size_t done, std::size_t total) {
    if (!enabled_ || total == 0) return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == last_ && done != total) return;
    last_ = percent;
    const int filled = percent * 40 / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% %zu/%zu", filled,
                 "########################################", 40 - filled, "", percent, done, total);
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  int last_ = -1;
};

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
  auto* createCommand = app.add_subcommand("create", "Build a disc from a mirrored web site");
  createCommand->add_option("disc", create.disc, "Disc folder to create")->required();
  createCommand->add_option("--from", create.mirror, "Mirror folder (host/path layout)")
      ->required();
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
  auto* addCommand = app.add_subcommand("add", "Add one document to a disc");
  addCommand->add_option("disc", discPath, "Disc folder")->required();
  addCommand->add_option("url", add.url, "Address the document answers for")->required();
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

  auto* indexCommand =
      app.add_subcommand("index", "Build a disc's full-text search index anew from its pages");
  indexCommand->add_option("disc", discPath, "Disc folder")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    if (createCommand->parsed()) {
      if (!staleAfter.empty()) create.staleAfter = disc::ParseDuration(staleAfter);
      if (!extra.empty()) create.extra = extra;
      if (!redirects.empty()) create.redirects = redirects;
      Progress progress;
      create.progress = [&progress](std::size_t done, std::size_t total) { progress(done, total); };
      const auto start = std::chrono::steady_clock::now();
      const disc::CreateSummary summary = disc::CreateDisc(create);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("created %s: %zu documents, %zu redirects, %.1f MiB in %.1f s\n",
                  create.disc.c_str(), summary.documents, summary.redirects,
                  static_cast<double>(summary.bytes) / (1024.0 * 1024.0), seconds);
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
        return 1;
      }
      PrintRow(*row);
    } else if (checkCommand->parsed()) {
      const auto problems = disc::CheckDisc(discPath);
      for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
      if (!problems.empty()) {
        std::fprintf(stderr, "quillon-disc: %s: %zu problems\n", discPath.c_str(), problems.size());
        return 1;
      }
      std::printf("%s: ok\n", discPath.c_str());
    } else if (indexCommand->parsed()) {
      std::printf("indexed %zu pages of %s\n", disc::IndexDisc(discPath), discPath.c_str());
    }
  } catch (const viewer::SqliteError& e) {
    std::fprintf(stderr, "quillon-disc: %s: %s\n", discPath.c_str(), e.Explained().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-disc: %s\n", e.what());
    return 1;
  }
  return 0;
}
