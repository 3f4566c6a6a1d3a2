// Entry identifiers and lists of them, from bytes nobody checked: what a
// message or a recipient row may carry in PR_ENTRYID,
// PR_REPLY_RECIPIENT_ENTRIES and the like.
//
//   - the address book's parsers (mapi/addrbook/abids.h): directory entry
//     identifiers, identifiers by distinguished name, one-off identifiers;
//   - the MIME writer's FLATENTRYLIST parser (mapimime::parseFlatEntryList);
//   - the reply-to list of the native objects (CMapiMessage::getReplyTo) of
//     a stored message whose PR_REPLY_RECIPIENT_ENTRIES is the input; each
//     entry goes through IAddrBook::OpenEntry.
//
// What must hold, besides the sanitizers' checks:
//   - whatever a parser accepts, made again from what it read, is read back
//     the same (identifiers and lists round-trip);
//   - a list that parseFlatEntryList accepts, getReplyTo reads entry by entry
//     too (it may accept more: it does not insist on the list's byte count);
//   - getReplyTo fails only with its own texts, and no MAPI object or buffer
//     outlives a call.
#include "fuzz_support.h"

#include "addrbook/abids.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "mimereader.h"
#include "mimewriter.h"
#include "session/mapistore.h"
#include "support/mapiexception.h"

#include <tolvane/directory.h>
#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <string>
#include <vector>

using fuzzsupport::excerpt;

namespace {

CMapiStore* g_store = nullptr;
CMapiFolder* g_folder = nullptr;
CMapiMessage* g_message = nullptr;

void roundTripAbIds(const std::string& input) {
  ULONG cb = static_cast<ULONG>(input.size());
  const BYTE* data = reinterpret_cast<const BYTE*>(input.data());
  tmapi::abIdKind(cb, data);

  int64_t id = 0;
  if (tmapi::parseDirectoryEntryId(cb, data, id)) {
    std::string made = tmapi::makeDirectoryEntryId(id);
    int64_t again = -1;
    FUZZ_CHECK(tmapi::parseDirectoryEntryId(static_cast<ULONG>(made.size()), reinterpret_cast<const BYTE*>(made.data()),
                                            again) && again == id,
               "directory entry id " + std::to_string(id) + " does not read back");
  }

  std::string dn;
  if (tmapi::parseDnEntryId(cb, data, dn)) {
    std::string made = tmapi::makeDnEntryId(dn);
    std::string again;
    FUZZ_CHECK(tmapi::parseDnEntryId(static_cast<ULONG>(made.size()), reinterpret_cast<const BYTE*>(made.data()),
                                     again) && again == dn,
               "distinguished name \"" + excerpt(dn) + "\" does not read back");
  }

  tmapi::OneOff oneOff;
  if (tmapi::parseOneOffEntryId(cb, data, oneOff)) {
    std::string made = tmapi::makeOneOffEntryId(oneOff);
    tmapi::OneOff again;
    bool read = tmapi::parseOneOffEntryId(static_cast<ULONG>(made.size()), reinterpret_cast<const BYTE*>(made.data()),
                                          again);
    FUZZ_CHECK(read && again.displayName == oneOff.displayName && again.addrType == oneOff.addrType &&
                   again.address == oneOff.address && again.unicode == oneOff.unicode &&
                   again.noRichInfo == oneOff.noRichInfo,
               "one-off \"" + excerpt(oneOff.displayName) + "\" " + excerpt(oneOff.addrType) + ":" +
                   excerpt(oneOff.address) + " does not read back");
  }
}

size_t roundTripFlatList(const std::string& input, bool& accepted) {
  std::vector<std::string> entries;
  accepted = mapimime::parseFlatEntryList(input, entries);
  if (!accepted) {
    FUZZ_CHECK(entries.empty(), "a refused list left entries");
    return 0;
  }
  std::vector<std::string> again;
  FUZZ_CHECK(mapimime::parseFlatEntryList(mapimime::flatEntryList(entries), again) && again == entries,
             "a list of " + std::to_string(entries.size()) + " entries does not read back");
  return entries.size();
}

void replyTo(const std::string& input, bool listAccepted, size_t listEntries) {
  SPropValue value{};
  value.ulPropTag = PR_REPLY_RECIPIENT_ENTRIES;
  value.Value.bin.cb = static_cast<ULONG>(input.size());
  value.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(input.data()));
  LPSPropProblemArray problems = nullptr;
  HRESULT hr = g_message->m_lpMessage->SetProps(1, &value, &problems);
  FUZZ_CHECK(hr == S_OK && !problems, "setting PR_REPLY_RECIPIENT_ENTRIES failed");
  // Set behind the message object's back: what it kept of its envelope goes.
  g_message->forgetEnvelope();

  long objects = mapitest::liveObjects();
  long buffers = mapitest::liveBuffers();
  CStringList list;
  std::string thrown;
  bool failed = false;
  try {
    g_message->getReplyTo(list);
  } catch (CMapiException& e) {
    failed = true;
    thrown = e.m_strMessage;
  }
  FUZZ_CHECK(!failed || thrown == "CMapiMessage::getReplyTo, the reply recipient entries are damaged",
             "getReplyTo threw \"" + thrown + "\"");
  if (listAccepted) {
    FUZZ_CHECK(!failed && list.size() == listEntries,
               "getReplyTo read " + std::to_string(list.size()) + " entries of a list of " +
                   std::to_string(listEntries) + (failed ? " and threw \"" + thrown + "\"" : ""));
  }
  // The envelope values the message read with it stay with the message until it closes: let
  // go of them to count what the call itself left.
  g_message->forgetEnvelope();
  FUZZ_CHECK(mapitest::liveObjects() == objects,
             std::to_string(mapitest::liveObjects() - objects) + " MAPI objects outlived getReplyTo");
  FUZZ_CHECK(mapitest::liveBuffers() == buffers,
             std::to_string(mapitest::liveBuffers() - buffers) + " MAPI buffers outlived getReplyTo");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::makeHome("fuzz");
  std::string error;
  // A directory entry for the identifiers that name one.
  mapidirectory::Entry entry;
  entry.displayName = "Ann Example";
  entry.smtpAddress = "ann@example.org";
  entry.distinguishedName = "/o=Example/ou=Exchange Administrative Group/cn=Recipients/cn=ann";
  entry.proxies = {"smtp:ann.example@example.org"};
  FUZZ_CHECK(mapidirectory::add(entry, error) == S_OK, "adding a directory entry: " + error);
  // One stored message; the input replaces its reply-to list, unsaved.
  mapifixture::MessageDef def;
  def.props = {mapifixture::Value::String(PR_SUBJECT_A, "reply to"),
               mapifixture::Value::String(PR_SENDER_NAME_A, "Sender"),
               mapifixture::Value::String(PR_SENDER_EMAIL_ADDRESS_A, "sender@example.org")};
  std::string eid;
  FUZZ_CHECK(mapifixture::addMessage("fuzz", def, eid, error) == S_OK, "storing a message: " + error);

  CMapiSession::initMapi();
  try {
    g_store = new CMapiStore("fuzz", "", "", fuzzsupport::scratchDir());
    g_store->initialize();
    g_folder = new CMapiFolder;
    g_store->getInbox(*g_folder);
    g_folder->open(0);
    g_message = new CMapiMessage;
    g_folder->getMessage(1, g_message);
  } catch (CMapiException& e) {
    FUZZ_CHECK(false, "opening the message: " + e.m_strMessage);
  }
  // The first reply-to entry opens the session's address book, which the
  // session keeps: once here, so that the counts of each input start from it.
  std::string list = mapimime::flatEntryList({tmapi::makeDirectoryEntryId(entry.id)});
  SPropValue value{};
  value.ulPropTag = PR_REPLY_RECIPIENT_ENTRIES;
  value.Value.bin.cb = static_cast<ULONG>(list.size());
  value.Value.bin.lpb = reinterpret_cast<LPBYTE>(&list[0]);
  FUZZ_CHECK(g_message->m_lpMessage->SetProps(1, &value, nullptr) == S_OK, "setting the reply-to list");
  CStringList names;
  g_message->getReplyTo(names);
  FUZZ_CHECK(names == CStringList{"ANN@EXAMPLE.ORG"}, "the directory entry's reply-to address is not read");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  roundTripAbIds(input);
  bool accepted = false;
  size_t entries = roundTripFlatList(input, accepted);
  replyTo(input, accepted, entries);
  return 0;
}
