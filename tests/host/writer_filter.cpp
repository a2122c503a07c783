// A filter library for the host's tests that writes what its script says (writer_filter.h): an
// answer of its own in pre-processed headers, or one standing in for the network's in
// send-raw-data. Registered for both, on both kinds of port, as the content filter is.
#include <cstring>
#include <string>

#include "filter/isapi.h"
#include "writer_filter.h"

namespace {

WriterScript script;
int rawDepth = 0;

// Each write's bytes are its step's letter, so order and truncation both show in the output.
char LetterOf(std::size_t step) { return static_cast<char>('A' + step % 26); }

DWORD Play(HTTP_FILTER_CONTEXT* pfc) {
  std::size_t result = 0;
  for (std::size_t i = 0; i < script.count && result + 1 < sizeof script.results; ++i) {
    const WriterStep& step = script.steps[i];
    BOOL ok = FALSE;
    if (step.kind == WriterStep::kHead) {
      const std::string lines = "Content-Length: " + std::to_string(step.size) + "\r\n";
      ok = pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER, const_cast<char*>("200 OK"),
                                      reinterpret_cast<ULONG_PTR>(lines.c_str()), 0);
    } else {
      std::string bytes(step.size, LetterOf(i));
      DWORD count = step.size;
      ok = pfc->WriteClient(pfc, step.kind == WriterStep::kNullWrite ? nullptr : bytes.data(),
                            &count, 0);
    }
    script.results[result++] = ok ? 'T' : 'F';
    if (!ok) break;
  }
  script.results[result] = '\0';
  return SF_STATUS_REQ_FINISHED;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = 0x00020001;
  version->dwFlags = SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_READ_RAW_DATA |
                     SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_URL_MAP | SF_NOTIFY_SEND_RAW_DATA;
  std::strcpy(version->lpszFilterDesc, "writer");
  return TRUE;
}

__attribute__((visibility("default"))) DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc,
                                                                   DWORD notification, void*) {
  const bool playsHere =
      (notification == SF_NOTIFY_PREPROC_HEADERS &&
       script.where == WriterScript::kPreprocHeaders) ||
      (notification == SF_NOTIFY_READ_RAW_DATA && script.where == WriterScript::kReadRawData) ||
      (notification == SF_NOTIFY_URL_MAP && script.where == WriterScript::kUrlMap);
  if (playsHere) return Play(pfc);
  if (notification != SF_NOTIFY_SEND_RAW_DATA || script.where != WriterScript::kSendRawData) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  // Its own writes come back through send-raw-data too: only the outermost block is the
  // network's.
  if (rawDepth > 0) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  ++rawDepth;
  const DWORD status = Play(pfc);
  --rawDepth;
  return status;
}

__attribute__((visibility("default"))) WriterScript* Script() { return &script; }
}
