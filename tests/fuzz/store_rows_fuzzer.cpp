// A store whose rows were changed behind the library's back (a damaged
// disk, another program, a hostile file): the input is a list of changes to
// the rows of a store that holds one delivered message (bodies, a header
// block and attachment data long enough to be kept in pieces, recipients,
// an attached message with an attachment of its own). Then the message is
// read as readers read it, through the MAPI interfaces: every property,
// every long value through a stream, the recipient and attachment tables,
// each attachment and the attached message, three deep.
//
// Each change (8 bytes) picks a table (props, prop_values, objects), a row
// (by its place in the table), a column and what it becomes: an integer, a
// slice of the bytes after the changes, NULL, or the row deleted. The rows
// are changed with SQLite directly, foreign keys off, so a row may point
// anywhere.
//
// What must hold, besides the sanitizers' checks:
//   - every read either gives a value or fails with an HRESULT (the natives:
//     with a CMapiException);
//   - no MAPI object or buffer outlives the reads;
//   - without changes, everything is read: both messages, the three
//     attachments and the attachment data, and by the natives every part.
#include "fuzz_support.h"

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "deliver.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "support/mapiexception.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_storePath;
std::string g_template;  // the store file with the delivered message

// What one input's reads reached.
struct Reached {
  unsigned messages = 0;
  unsigned attachments = 0;
  size_t streamed = 0;
  unsigned partsWritten = 0;  // by the natives
};
Reached g_reached;

// The message of the store: every kind of row the readers meet.
std::string sampleMessage() {
  std::string longText;
  for (int k = 0; k < 60; ++k) longText += "Line " + std::to_string(k) + " of a body long enough for pieces.\r\n";
  std::string data;
  for (int k = 0; k < 70000; ++k) data += static_cast<char>('A' + k % 23);
  std::string b64;
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<uint8_t>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<uint8_t>(data[i + 2]);
    b64 += abc[(v >> 18) & 63];
    b64 += abc[(v >> 12) & 63];
    b64 += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
    b64 += i + 2 < data.size() ? abc[v & 63] : '=';
    if ((i / 3 + 1) % 19 == 0) b64 += "\r\n";
  }
  std::string m;
  m += "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>, Cy <cy@example.org>\r\n";
  m += "Cc: Dee <dee@example.org>\r\nSubject: Rows\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n";
  for (int k = 0; k < 20; ++k) m += "X-Padding-" + std::to_string(k) + ": header block long enough for pieces\r\n";
  m += "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n";
  m += "--b1\r\nContent-Type: multipart/alternative; boundary=\"b2\"\r\n\r\n";
  m += "--b2\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + longText;
  m += "--b2\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>" + longText + "</p>\r\n--b2--\r\n";
  m += "--b1\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n";
  m += "Content-Disposition: attachment; filename=\"data.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  m += b64 + "\r\n";
  m += "--b1\r\nContent-Type: message/rfc822\r\n\r\n";
  m += "From: Eve <eve@example.org>\r\nTo: Ann <ann@example.org>\r\nSubject: Inner\r\n";
  m += "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b3\"\r\n\r\n";
  m += "--b3\r\nContent-Type: text/plain\r\n\r\n" + longText;
  m += "--b3\r\nContent-Type: text/plain; name=\"note.txt\"\r\nContent-Disposition: attachment; filename=\"note.txt\"\r\n\r\n";
  m += longText + "--b3--\r\n";
  m += "--b1--\r\n";
  return m;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void removeStoreFiles() {
  unlink(g_storePath.c_str());
  unlink((g_storePath + "-wal").c_str());
  unlink((g_storePath + "-shm").c_str());
}

// Applies the changes the input describes; the bytes after them are the
// slices blob values come from.
void applyChanges(const uint8_t* data, size_t size) {
  sqlite3* db = nullptr;
  FUZZ_CHECK(sqlite3_open(g_storePath.c_str(), &db) == SQLITE_OK, "opening the store file");
  struct Table {
    const char* name;
    const char* key;  // what picks one row
    const char* columns[5];
  };
  static const Table tables[] = {
      {"props", "(object_id, prop_id)", {"object_id", "prop_id", "type", "value", "chunked"}},
      {"prop_values", "id", {"id", "object_id", "prop_id", "seq", "data"}},
      {"objects", "id", {"id", "kind", "parent_id", "position", "kind"}},
  };
  size_t changes = size > 0 ? std::min<size_t>(data[0] % 9, (size - 1) / 8) : 0;
  const uint8_t* op = data + 1;
  const uint8_t* tail = data + 1 + changes * 8;
  size_t tailSize = size - 1 - changes * 8;
  for (size_t c = 0; c < changes; ++c, op += 8) {
    const Table& t = tables[op[0] % 3];
    int row = op[1] | (op[2] << 8);
    const char* column = t.columns[op[3] % 5];
    int what = op[4] % 4;
    int64_t number = static_cast<int16_t>(op[5] | (op[6] << 8));
    // Sizes and kinds near the ones the code knows, and far ones.
    if (op[7] & 1) number *= 4096;
    if (op[7] & 2) number += 0x7FFFFFFFLL;
    std::string where = std::string(" WHERE ") + t.key + " = (SELECT " + t.key + " FROM " + t.name +
                        " ORDER BY " + t.key + " LIMIT 1 OFFSET " + std::to_string(row % 64) + ")";
    std::string sql = what == 3 ? std::string("DELETE FROM ") + t.name + where
                                : std::string("UPDATE ") + t.name + " SET " + column + " = ?1" + where;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) continue;
    if (what == 0) {
      sqlite3_bind_int64(st, 1, number);
    } else if (what == 1) {
      size_t from = tailSize ? static_cast<size_t>(op[5]) % tailSize : 0;
      size_t n = tailSize ? std::min<size_t>(tailSize - from, op[6]) : 0;
      sqlite3_bind_blob(st, 1, tail + from, static_cast<int>(n), SQLITE_TRANSIENT);
    }  // 2: NULL
    sqlite3_step(st);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
}

void readStream(IMAPIProp* obj, ULONG tag) {
  IStream* stream = nullptr;
  if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream))) || !stream) return;
  std::vector<char> buf(64 * 1024);
  size_t total = 0;
  ULONG got = 0;
  while (total < 8 * 1024 * 1024 && SUCCEEDED(stream->Read(buf.data(), static_cast<ULONG>(buf.size()), &got)) &&
         got > 0)
    total += got;
  g_reached.streamed += total;
  STATSTG st;
  stream->Stat(&st, STATFLAG_NONAME);
  stream->Release();
}

void readTable(IMAPITable* table) {
  LPSRowSet rows = nullptr;
  if (SUCCEEDED(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows)) && rows) FreeProws(rows);
}

void readMessage(IMessage* msg, int depth);

void readAttachment(IAttach* attach, int depth) {
  ++g_reached.attachments;
  ULONG count = 0;
  LPSPropValue props = nullptr;
  if (SUCCEEDED(attach->GetProps(nullptr, 0, &count, &props))) MAPIFreeBuffer(props);
  readStream(attach, PR_ATTACH_DATA_BIN);
  if (depth >= 3) return;
  IMessage* inner = nullptr;
  if (SUCCEEDED(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(&inner))) &&
      inner) {
    readMessage(inner, depth + 1);
    inner->Release();
  }
}

void readMessage(IMessage* msg, int depth) {
  ++g_reached.messages;
  ULONG count = 0;
  LPSPropValue props = nullptr;
  if (SUCCEEDED(msg->GetProps(nullptr, 0, &count, &props))) {
    // Every long value once more through a stream.
    std::vector<ULONG> longOnes;
    for (ULONG i = 0; i < count; ++i) {
      ULONG type = PROP_TYPE(props[i].ulPropTag);
      if (type == PT_ERROR || type == PT_BINARY || type == PT_STRING8) longOnes.push_back(props[i].ulPropTag);
    }
    MAPIFreeBuffer(props);
    for (ULONG tag : longOnes) {
      if (PROP_TYPE(tag) == PT_ERROR) tag = CHANGE_PROP_TYPE(tag, PT_BINARY);
      readStream(msg, tag);
    }
  }
  LPSPropTagArray list = nullptr;
  if (SUCCEEDED(msg->GetPropList(0, &list))) MAPIFreeBuffer(list);

  IMAPITable* table = nullptr;
  if (SUCCEEDED(msg->GetRecipientTable(0, &table)) && table) {
    readTable(table);
    table->Release();
  }
  table = nullptr;
  if (FAILED(msg->GetAttachmentTable(0, &table)) || !table) return;
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(1, cols) = {1, {PR_ATTACH_NUM}};
  if (SUCCEEDED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows)) && rows) {
    for (ULONG r = 0; r < rows->cRows; ++r) {
      if (rows->aRow[r].cValues < 1 || rows->aRow[r].lpProps[0].ulPropTag != PR_ATTACH_NUM) continue;
      IAttach* attach = nullptr;
      if (SUCCEEDED(msg->OpenAttach(static_cast<ULONG>(rows->aRow[r].lpProps[0].Value.l), nullptr, 0, &attach)) &&
          attach) {
        readAttachment(attach, depth);
        attach->Release();
      }
    }
    FreeProws(rows);
  }
  table->Release();
}

// A native read that may fail, as the natives fail: with a CMapiException.
template <typename F>
void attempt(F read) {
  try {
    read();
  } catch (CMapiException&) {
  }
}

void readNatives(CMapiMessage& m) {
  CStringList list;
  attempt([&] { m.getSubject(); });
  attempt([&] { m.getFrom(list); });
  attempt([&] { m.getTo(list); });
  attempt([&] { m.getCC(list); });
  attempt([&] { m.getBCC(list); });
  attempt([&] { m.getReplyTo(list); });
  attempt([&] { m.getSentDate(); });
  attempt([&] { m.getReceiveTime(); });
  attempt([&] { m.getPriority(); });
  attempt([&] { m.getText(); });
  attempt([&] { m.getHTML(); });
  attempt([&] {
    CMapiContent* content = m.getContent();
    if (!content || !content->m_pMultipart) return;
    std::string path = fuzzsupport::scratchDir() + "/part";
    for (int k = 0; k < content->m_pMultipart->getCount(); ++k) {
      CMapiBodyPart* part = content->m_pMultipart->getPart(k);
      if (!part) continue;
      attempt([&] {
        part->writeToFile(path);
        ++g_reached.partsWritten;
      });
      unlink(path.c_str());
    }
  });
}

void walkNatives() {
  attempt([&] {
    CMapiStore store("rows", "", "", fuzzsupport::scratchDir());
    store.initialize();
    CMapiFolder folder;
    store.getInbox(folder);
    folder.open(0);
    ULONG count = folder.getMessageCount();
    for (ULONG i = 1; i <= count; ++i) {
      CMapiMessage m;
      bool got = false;
      attempt([&] { got = folder.getMessage(i, &m); });
      if (got) readNatives(m);
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::makeHome("rows");
  fuzzsupport::initMime();
  CMapiSession::initMapi();
  mapiprofile::Profile profile;
  std::string error;
  FUZZ_CHECK(mapiprofile::load("rows", profile, error) == S_OK, "loading the profile: " + error);
  g_storePath = profile.storePath;
  {
    mapimime::MailDelivery delivery;
    FUZZ_CHECK(delivery.open("rows", error) == S_OK, "opening the store: " + error);
    std::string text = sampleMessage();
    std::string path = fuzzsupport::scratchDir() + "/sample.eml";
    FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "writing the sample message");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    mapimime::DeliveryResult r = delivery.deliverFile(path);
    FUZZ_CHECK(r.ok(), "delivering the sample message: " + r.error);
  }
  // Everything into the store file, so that one file is the template.
  sqlite3* db = nullptr;
  FUZZ_CHECK(sqlite3_open(g_storePath.c_str(), &db) == SQLITE_OK, "opening the store file");
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM prop_values", -1, &st, nullptr);
  FUZZ_CHECK(st && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) > 3,
             "the sample message keeps long values in pieces");
  sqlite3_finalize(st);
  sqlite3_close(db);
  g_template = readFile(g_storePath);
  FUZZ_CHECK(!g_template.empty(), "reading the store file");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  removeStoreFiles();
  {
    std::ofstream out(g_storePath, std::ios::binary);
    out.write(g_template.data(), static_cast<std::streamsize>(g_template.size()));
  }
  applyChanges(data, size);
  g_reached = Reached();

  long objects = mapitest::liveObjects();
  long buffers = mapitest::liveBuffers();
  {
    mapimime::MailDelivery reader;
    std::string error;
    if (SUCCEEDED(reader.open("rows", error))) {
      IMAPITable* contents = nullptr;
      if (SUCCEEDED(reader.folder()->GetContentsTable(0, &contents)) && contents) {
        LPSRowSet rows = nullptr;
        SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
        if (SUCCEEDED(HrQueryAllRows(contents, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows)) &&
            rows) {
          for (ULONG r = 0; r < rows->cRows; ++r) {
            const SPropValue& eid = rows->aRow[r].lpProps[0];
            if (rows->aRow[r].cValues < 1 || eid.ulPropTag != PR_ENTRYID) continue;
            ULONG type = 0;
            IMessage* msg = nullptr;
            if (SUCCEEDED(reader.folder()->OpenEntry(eid.Value.bin.cb, reinterpret_cast<LPENTRYID>(eid.Value.bin.lpb),
                                                     nullptr, 0, &type, reinterpret_cast<LPUNKNOWN*>(&msg))) &&
                msg) {
              if (type == MAPI_MESSAGE) readMessage(msg, 0);
              msg->Release();
            }
          }
          FreeProws(rows);
        }
        contents->Release();
      }
    }
  }
  walkNatives();
  if (size == 0 || data[0] % 9 == 0) {
    FUZZ_CHECK(g_reached.messages == 2 && g_reached.attachments == 3 && g_reached.streamed > 70000 &&
                   g_reached.partsWritten == 4,
               "the untouched store read " + std::to_string(g_reached.messages) + " messages, " +
                   std::to_string(g_reached.attachments) + " attachments, " + std::to_string(g_reached.streamed) +
                   " bytes; the natives wrote " + std::to_string(g_reached.partsWritten) + " parts");
  }
  FUZZ_CHECK(mapitest::liveObjects() == objects,
             std::to_string(mapitest::liveObjects() - objects) + " MAPI objects outlived the reads");
  FUZZ_CHECK(mapitest::liveBuffers() == buffers,
             std::to_string(mapitest::liveBuffers() - buffers) + " MAPI buffers outlived the reads");
  return 0;
}
