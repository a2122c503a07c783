#include "responses/fallback.h"

#include <limits>
#include <memory>

#include "common/ascii.h"
#include "common/constants.h"
#include "responses/document_server.h"
#include "responses/reply.h"

namespace quillon {

namespace {

constexpr std::uint32_t kNotModifiedStatus = 304;
constexpr std::uint32_t kLastPassingStatus = 399;

std::unique_ptr<PendingReply> TakePendingReply(FilterCall call) {
  std::unique_ptr<PendingReply> pending(static_cast<PendingReply*>(call.context->pFilterContext));
  call.context->pFilterContext = nullptr;
  return pending;
}

}  // namespace

void StorePendingReply(FilterCall call, const CatalogueEntry& entry) {
  auto pending = std::make_unique<PendingReply>(PendingReply{entry});
  TakePendingReply(call);  // a reply left by an earlier request is released, not leaked
  call.context->pFilterContext = pending.release();
}

std::uint32_t ReadReplyStatus(std::string_view block) {
  constexpr std::string_view kProtocol = "HTTP/";
  if (block.substr(0, kProtocol.size()) != kProtocol) return 0;
  std::size_t i = kProtocol.size();
  // The version: one or more bytes up to a blank (tabs and line ends do not end it).
  const std::size_t version = i;
  while (i < block.size() && block[i] != ' ') ++i;
  if (i == version) return 0;
  while (i < block.size() && IsCSpace(block[i])) ++i;
  bool negative = false;
  if (i < block.size() && (block[i] == '+' || block[i] == '-')) negative = block[i++] == '-';
  const std::size_t digits = i;
  std::uint64_t value = 0;
  for (; i < block.size() && block[i] >= '0' && block[i] <= '9'; ++i) {
    value = value * 10 + static_cast<unsigned>(block[i] - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) {
      value = std::numeric_limits<std::uint32_t>::max();  // an absurd status saturates
      break;
    }
  }
  if (i == digits) return 0;
  auto status = static_cast<std::uint32_t>(value);
  return negative ? 0u - status : status;
}

DWORD InspectServerReply(FilterCall call, HTTP_FILTER_RAW_DATA* rawData) {
  if (call.context->pFilterContext == nullptr) return kStatusNextNotification;
  // Emptied before any reply is written: the filter's own writes may come back through here.
  std::unique_ptr<PendingReply> pending = TakePendingReply(call);
  std::uint32_t status = 0;
  if (rawData != nullptr && rawData->pvInData != nullptr) {
    status = ReadReplyStatus(
        std::string_view(static_cast<const char*>(rawData->pvInData), rawData->cbInData));
  }
  if (status != kNotModifiedStatus && status <= kLastPassingStatus) return kStatusNextNotification;
  if (pending->entry.fallbackNotModified != 0) {
    SendSimpleReply(call, nullptr, kStatusNotModified);
  } else {
    ServeCatalogueEntry(call, pending->entry);
  }
  return kStatusFinished;
}

DWORD DropPendingReply(FilterCall call) {
  TakePendingReply(call);
  return kStatusNextNotification;
}

}  // namespace quillon
