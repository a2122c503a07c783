// The script a writer filter follows: what it writes to the browser, in which notification, and
// what each write returned. Shared by tests/host/writer_filter.cpp and the test driving it.
#pragma once

#include <cstddef>

struct WriterStep {
  enum Kind { kHead, kWrite, kNullWrite } kind;
  unsigned size;  // kHead: the Content-Length announced; kWrite, kNullWrite: the bytes written
};

struct WriterScript {
  const WriterStep* steps = nullptr;
  std::size_t count = 0;
  // The notification it writes in: pre-processed headers (an answer of its own), send-raw-data
  // (a disc copy standing in for the network's answer), or while the head is read or mapped.
  enum Where { kPreprocHeaders, kSendRawData, kReadRawData, kUrlMap } where = kPreprocHeaders;
  // What the server's calls returned, one character each: 'T' or 'F'. The script stops at the
  // first 'F', as a filter stops writing once the browser is gone.
  char results[64] = {};
};
