// Delivery of arbitrary bytes as an RFC 5322 message into a real store: what
// `tolvane-mapi deliver` does with whatever a mail server hands it
// (MailDelivery::deliverStream: MimeReader, MapiWriter, SaveChanges).
//
// One store per process, in a private home; the Inbox is emptied every
// kEmptyEvery deliveries so that it stays small and the run fast.
//
// What must hold for every input, besides the sanitizers' checks:
//   - only input of nothing but white space is refused as "not a message";
//   - the store never refuses a message: everything else is delivered
//     (a refusal would make a mail server retry it for ever);
//   - no MAPI object or buffer outlives the delivery;
//   - GLib and GMime report no critical warning (a broken precondition),
//     except those of bugs found and not fixed yet (kOpenBugs; their
//     reproducers are in tests/fuzz/crashes/mime_delivery).
#include "fuzz_support.h"

#include "deliver.h"
#include "mimereader.h"

#include <tolvane/mapitest.h>

#include <mapicode.h>

#include <gmime/gmime.h>

#include <cstdlib>
#include <string>

namespace {

constexpr unsigned kEmptyEvery = 64;

// Warnings of bugs found and not fixed yet, each with its reproducer in
// crashes/mime_delivery/. None at present.
const char* const kOpenBugs[] = {nullptr};

mapimime::MailDelivery* g_delivery = nullptr;
unsigned g_delivered = 0;

bool blank(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != ' ' && data[i] != '\t' && data[i] != '\r' && data[i] != '\n') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::makeHome("fuzz");
  fuzzsupport::initMime();
  fuzzsupport::failOnGLibCriticals(kOpenBugs);
  g_delivery = new mapimime::MailDelivery;
  std::string error;
  HRESULT hr = g_delivery->open("fuzz", error);
  FUZZ_CHECK(hr == S_OK, "opening the store: " + error);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  long objects = mapitest::liveObjects();
  long buffers = mapitest::liveBuffers();

  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char*>(data), size);
  mapimime::DeliveryResult result = g_delivery->deliverStream(stream);
  g_object_unref(stream);

  if (blank(data, size)) {
    FUZZ_CHECK(result.failure == mapimime::DeliveryFailure::kNotAMessage, "blank input was delivered");
  } else {
    FUZZ_CHECK(result.ok(), "the delivery failed (" + std::to_string(static_cast<int>(result.failure)) + ", " +
                                std::to_string(static_cast<unsigned long>(result.hr)) + "): " + result.error);
  }
  FUZZ_CHECK(mapitest::liveObjects() == objects,
             std::to_string(mapitest::liveObjects() - objects) + " MAPI objects outlived the delivery");
  FUZZ_CHECK(mapitest::liveBuffers() == buffers,
             std::to_string(mapitest::liveBuffers() - buffers) + " MAPI buffers outlived the delivery");

  if (result.ok() && ++g_delivered % kEmptyEvery == 0) {
    HRESULT hr = g_delivery->folder()->EmptyFolder(0, nullptr, 0);
    FUZZ_CHECK(hr == S_OK, "emptying the Inbox failed");
  }
  return 0;
}
