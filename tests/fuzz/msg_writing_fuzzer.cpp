// .msg files written from arbitrary messages: the input chooses a sequence of
// operations on an IMessage on IStorage (OpenIMsgOnIStg), the way the
// library's export fills one (src/message/message_export.cpp): properties of
// any tag and type (named ones too), recipients added, changed and removed,
// attachments by value, through streams and embedded messages, deleted
// properties and attachments, and a fault of the test controls' fault plan
// on one call. Then SaveChanges and IStorage::Commit write the file.
//
// What must hold, besides the sanitizers' checks:
//   - without a planned fault, the commit succeeds and the file is a
//     compound file that libgsf opens, with the root's property stream and
//     as many recipient and attachment storages as the message's tables
//     have rows;
//   - with or without a fault, no MAPI object or buffer outlives the file.
#include "fuzz_support.h"

#include <tolvane/mapitest.h>

#include <imessage.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#include <objbase.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <gsf/gsf.h>

#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const CLSID kMsgFileClass = {0x00020307, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kPublicStrings = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kInternetHeaders = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kOtherSet = {0x1a2b3c4d, 0x1111, 0x2222, {0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97}};

constexpr int kMaxOperations = 48;
constexpr int kMaxDepth = 3;

// Property identifiers that mean something to the writer or to readers.
const ULONG kIds[] = {0x001A, 0x0037, 0x0039, 0x0042, 0x0C1A, 0x0C1F, 0x0E06, 0x0E07, 0x0FF9, 0x0FFF, 0x1000,
                      0x1009, 0x1013, 0x1035, 0x3001, 0x3002, 0x3003, 0x3701, 0x3703, 0x3704, 0x3705, 0x3707,
                      0x370E, 0x3712, 0x39FE, 0x3FDE, 0x3FFD, 0x0C15, 0x3000, 0x0E21, 0x8000, 0xFFFF};
const ULONG kTypes[] = {PT_UNSPECIFIED, PT_NULL,      PT_I2,          PT_LONG,       PT_R4,        PT_DOUBLE,
                        PT_CURRENCY,    PT_APPTIME,   PT_ERROR,       PT_BOOLEAN,    PT_OBJECT,    PT_I8,
                        PT_STRING8,     PT_UNICODE,   PT_SYSTIME,     PT_CLSID,      PT_BINARY,    PT_MV_I2,
                        PT_MV_LONG,     PT_MV_R4,     PT_MV_DOUBLE,   PT_MV_CURRENCY, PT_MV_APPTIME, PT_MV_SYSTIME,
                        PT_MV_STRING8,  PT_MV_UNICODE, PT_MV_BINARY,  PT_MV_CLSID,   PT_MV_I8};
const char* const kFaultMethods[] = {
    "IMessage::SetProps",       "IMessage::SaveChanges",  "IMessage::CreateAttach", "IMessage::ModifyRecipients",
    "IMessage::OpenProperty",   "IMessage::GetIDsFromNames", "IAttach::SaveChanges", "IAttach::SetProps",
    "IAttach::OpenProperty",    "IStream::Write",         "IStream::Commit",        "MAPIAllocateBuffer",
    "MAPIAllocateMore",         "IMessage::DeleteAttach"};
const HRESULT kFaultResults[] = {MAPI_E_NOT_ENOUGH_MEMORY, MAPI_E_CALL_FAILED, MAPI_E_DISK_ERROR, STG_E_MEDIUMFULL,
                                 MAPI_E_NO_ACCESS};

template <class T, size_t N>
T pick(FuzzedDataProvider& in, const T (&items)[N]) {
  return items[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

// Values built from the input; the memory they point to lives as long as the
// builder.
class Values {
 public:
  explicit Values(FuzzedDataProvider& in) : m_in(in) {}

  ULONG tag(ULONG id) {
    ULONG type = m_in.ConsumeIntegralInRange<int>(0, 15) == 0 ? m_in.ConsumeIntegral<uint16_t>() : pick(m_in, kTypes);
    return PROP_TAG(type, id);
  }
  ULONG tag() {
    ULONG id = m_in.ConsumeBool() ? pick(m_in, kIds) : m_in.ConsumeIntegral<uint16_t>();
    return tag(id);
  }

  SPropValue value(ULONG tag) {
    SPropValue v{};
    v.ulPropTag = tag;
    ULONG type = PROP_TYPE(tag);
    bool mv = (type & MV_FLAG) != 0;
    ULONG base = type & ~MV_FLAG;
    ULONG count = mv ? m_in.ConsumeIntegralInRange<ULONG>(0, 4) : 1;
    switch (base) {
      case PT_I2:
        if (mv) v.Value.MVi.lpi = fill<short>(count, v.Value.MVi.cValues);
        else v.Value.i = m_in.ConsumeIntegral<short>();
        break;
      case PT_LONG:
      case PT_ERROR:
        if (mv) v.Value.MVl.lpl = fill<LONG>(count, v.Value.MVl.cValues);
        else v.Value.l = m_in.ConsumeIntegral<LONG>();
        break;
      case PT_R4:
        if (mv) v.Value.MVflt.lpflt = fill<float>(count, v.Value.MVflt.cValues);
        else v.Value.flt = m_in.ConsumeFloatingPoint<float>();
        break;
      case PT_DOUBLE:
      case PT_APPTIME:
        if (mv) v.Value.MVdbl.lpdbl = fill<double>(count, v.Value.MVdbl.cValues);
        else v.Value.dbl = m_in.ConsumeFloatingPoint<double>();
        break;
      case PT_BOOLEAN:
        v.Value.b = m_in.ConsumeIntegral<unsigned short>();
        break;
      case PT_CURRENCY:
      case PT_I8:
      case PT_SYSTIME:
        if (mv) v.Value.MVli.lpli = fill<LARGE_INTEGER>(count, v.Value.MVli.cValues);
        else v.Value.li.QuadPart = m_in.ConsumeIntegral<int64_t>();
        break;
      case PT_CLSID:
        if (mv) v.Value.MVguid.lpguid = fill<GUID>(count, v.Value.MVguid.cValues);
        else v.Value.lpguid = fill<GUID>(1, count);
        break;
      case PT_STRING8:
        if (mv) {
          auto* list = fill<LPSTR>(count, v.Value.MVszA.cValues);
          for (ULONG k = 0; k < count; ++k) list[k] = narrow();
          v.Value.MVszA.lppszA = list;
        } else {
          v.Value.lpszA = narrow();
        }
        break;
      case PT_UNICODE:
        if (mv) {
          auto* list = fill<LPWSTR>(count, v.Value.MVszW.cValues);
          for (ULONG k = 0; k < count; ++k) list[k] = wide();
          v.Value.MVszW.lppszW = list;
        } else {
          v.Value.lpszW = wide();
        }
        break;
      case PT_BINARY:
        if (mv) {
          auto* list = fill<SBinary>(count, v.Value.MVbin.cValues);
          for (ULONG k = 0; k < count; ++k) list[k] = binary();
          v.Value.MVbin.lpbin = list;
        } else {
          v.Value.bin = binary();
        }
        break;
      default:
        v.Value.l = m_in.ConsumeIntegral<LONG>();
        break;
    }
    return v;
  }

  std::vector<SPropValue> values(size_t max) {
    std::vector<SPropValue> out(m_in.ConsumeIntegralInRange<size_t>(0, max));
    for (auto& v : out) v = value(tag());
    return out;
  }

  std::string bytes(size_t max) { return m_in.ConsumeRandomLengthString(max); }

 private:
  // Zeroed room for n values of T, set from the input's bytes.
  template <class T>
  T* fill(ULONG n, ULONG& count) {
    count = n;
    m_blocks.emplace_back(sizeof(T) * (n ? n : 1), '\0');
    std::string& block = m_blocks.back();
    std::vector<uint8_t> raw = m_in.ConsumeBytes<uint8_t>(sizeof(T) * n);
    std::copy(raw.begin(), raw.end(), block.begin());
    return reinterpret_cast<T*>(&block[0]);
  }
  LPSTR narrow() {
    m_blocks.push_back(m_in.ConsumeRandomLengthString(300));
    return &m_blocks.back()[0];
  }
  LPWSTR wide() {
    std::string raw = m_in.ConsumeRandomLengthString(600);
    m_wide.emplace_back();
    std::vector<WCHAR>& w = m_wide.back();
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
      // Mostly UTF-16 code units, now and then any 32-bit value.
      WCHAR c = static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8);
      if (c == 0xFFFF && i + 3 < raw.size()) {
        c = static_cast<WCHAR>(static_cast<uint32_t>(static_cast<unsigned char>(raw[i + 2])) << 16 |
                               static_cast<unsigned char>(raw[i + 3]) << 24);
        i += 2;
      }
      if (c) w.push_back(c);
    }
    w.push_back(0);
    return w.data();
  }
  SBinary binary() {
    m_blocks.push_back(m_in.ConsumeRandomLengthString(2000));
    SBinary b{};
    b.cb = static_cast<ULONG>(m_blocks.back().size());
    b.lpb = reinterpret_cast<LPBYTE>(&m_blocks.back()[0]);
    return b;
  }

  FuzzedDataProvider& m_in;
  std::deque<std::string> m_blocks;
  std::deque<std::vector<WCHAR>> m_wide;
};

void freeProblems(LPSPropProblemArray problems) {
  if (problems) MAPIFreeBuffer(problems);
}

void setProps(FuzzedDataProvider& in, LPMAPIPROP object) {
  Values v(in);
  std::vector<SPropValue> values = v.values(6);
  LPSPropProblemArray problems = nullptr;
  object->SetProps(static_cast<ULONG>(values.size()), values.data(), &problems);
  freeProblems(problems);
}

void deleteProps(FuzzedDataProvider& in, LPMAPIPROP object) {
  Values v(in);
  SizedSPropTagArray(4, tags);
  tags.cValues = in.ConsumeIntegralInRange<ULONG>(0, 4);
  for (ULONG k = 0; k < tags.cValues; ++k) tags.aulPropTag[k] = v.tag();
  LPSPropProblemArray problems = nullptr;
  object->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), &problems);
  freeProblems(problems);
}

// A named property: created by GetIDsFromNames, then given a value.
void namedProp(FuzzedDataProvider& in, LPMAPIPROP object) {
  GUID guid = in.ConsumeBool() ? kPublicStrings : (in.ConsumeBool() ? kInternetHeaders : kOtherSet);
  MAPINAMEID name{};
  name.lpguid = &guid;
  std::vector<WCHAR> text;
  if (in.ConsumeBool()) {
    name.ulKind = MNID_ID;
    name.Kind.lID = in.ConsumeIntegral<LONG>();
  } else {
    name.ulKind = MNID_STRING;
    for (char c : in.ConsumeRandomLengthString(80))
      if (c) text.push_back(static_cast<unsigned char>(c));
    text.push_back(0);
    name.Kind.lpwstrName = text.data();
  }
  LPMAPINAMEID names[] = {&name};
  LPSPropTagArray tags = nullptr;
  HRESULT hr = object->GetIDsFromNames(1, names, MAPI_CREATE, &tags);
  if (SUCCEEDED(hr) && tags && tags->cValues == 1 && PROP_TYPE(tags->aulPropTag[0]) != PT_ERROR) {
    Values v(in);
    SPropValue value = v.value(v.tag(PROP_ID(tags->aulPropTag[0])));
    LPSPropProblemArray problems = nullptr;
    object->SetProps(1, &value, &problems);
    freeProblems(problems);
  }
  if (tags) MAPIFreeBuffer(tags);
}

// Writes a string or binary property through a stream, in pieces.
void streamProp(FuzzedDataProvider& in, LPMAPIPROP object) {
  static const ULONG kStreamTags[] = {PR_BODY_W, PR_BODY_A, PROP_TAG(PT_BINARY, 0x1013), PR_RTF_COMPRESSED, PR_ATTACH_DATA_BIN,
                                      PR_SUBJECT_W, PROP_TAG(PT_BINARY, 0x8001)};
  ULONG tag = pick(in, kStreamTags);
  LPSTREAM stream = nullptr;
  HRESULT hr = object->OpenProperty(tag, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                    reinterpret_cast<LPUNKNOWN*>(&stream));
  if (FAILED(hr) || !stream) return;
  int pieces = in.ConsumeIntegralInRange<int>(0, 4);
  for (int k = 0; k < pieces; ++k) {
    std::string piece = in.ConsumeRandomLengthString(4096);
    // Now and then a large piece of generated bytes, to pass the memory limit.
    if (in.ConsumeIntegralInRange<int>(0, 31) == 0) piece.append(in.ConsumeIntegralInRange<size_t>(0, 1 << 20), 'x');
    ULONG written = 0;
    if (FAILED(stream->Write(piece.data(), static_cast<ULONG>(piece.size()), &written))) break;
  }
  if (in.ConsumeBool()) stream->Commit(STGC_DEFAULT);
  stream->Release();
}

void addRecipients(FuzzedDataProvider& in, LPMESSAGE message) {
  ULONG rows = in.ConsumeIntegralInRange<ULONG>(1, 3);
  Values v(in);
  std::vector<std::vector<SPropValue>> rowValues(rows);
  SizedADRLIST(3, list);
  list.cEntries = rows;
  for (ULONG r = 0; r < rows; ++r) {
    rowValues[r] = v.values(6);
    if (in.ConsumeBool()) {
      SPropValue type{};
      type.ulPropTag = PR_RECIPIENT_TYPE;
      type.Value.l = in.ConsumeIntegralInRange<LONG>(0, 4);
      rowValues[r].push_back(type);
    }
    list.aEntries[r].cValues = static_cast<ULONG>(rowValues[r].size());
    list.aEntries[r].rgPropVals = rowValues[r].data();
  }
  // Changing or removing rows names them by PR_ROWID.
  ULONG flags = MODRECIP_ADD;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
      flags = MODRECIP_MODIFY;
      break;
    case 2:
      flags = MODRECIP_REMOVE;
      break;
    default:
      break;
  }
  if (flags != MODRECIP_ADD) {
    for (ULONG r = 0; r < rows; ++r) {
      SPropValue rowId{};
      rowId.ulPropTag = PR_ROWID;
      rowId.Value.l = in.ConsumeIntegralInRange<LONG>(0, 8);
      rowValues[r].insert(rowValues[r].begin(), rowId);
      list.aEntries[r].cValues = static_cast<ULONG>(rowValues[r].size());
      list.aEntries[r].rgPropVals = rowValues[r].data();
    }
  }
  message->ModifyRecipients(flags, reinterpret_cast<LPADRLIST>(&list));
}

void fill(FuzzedDataProvider& in, LPMESSAGE message, int depth);

void addAttachment(FuzzedDataProvider& in, LPMESSAGE message, int depth) {
  ULONG number = 0;
  LPATTACH attach = nullptr;
  if (FAILED(message->CreateAttach(nullptr, 0, &number, &attach)) || !attach) return;
  SPropValue method{};
  method.ulPropTag = PR_ATTACH_METHOD;
  method.Value.l = in.ConsumeIntegralInRange<LONG>(0, 7);
  attach->SetProps(1, &method, nullptr);
  setProps(in, attach);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      streamProp(in, attach);
      break;
    case 1:
      if (depth < kMaxDepth) {
        LPMESSAGE embedded = nullptr;
        HRESULT hr = attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                          reinterpret_cast<LPUNKNOWN*>(&embedded));
        if (SUCCEEDED(hr) && embedded) {
          fill(in, embedded, depth + 1);
          if (in.ConsumeIntegralInRange<int>(0, 7) != 0) embedded->SaveChanges(KEEP_OPEN_READWRITE);
          embedded->Release();
        }
      }
      break;
    default:
      break;
  }
  // Now and then an attachment is left unsaved (it is then not written).
  if (in.ConsumeIntegralInRange<int>(0, 7) != 0) attach->SaveChanges(KEEP_OPEN_READWRITE);
  attach->Release();
}

void fill(FuzzedDataProvider& in, LPMESSAGE message, int depth) {
  int operations = in.ConsumeIntegralInRange<int>(0, kMaxOperations >> depth);
  for (int k = 0; k < operations && in.remaining_bytes() > 0; ++k) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
      case 1:
        setProps(in, message);
        break;
      case 2:
        addRecipients(in, message);
        break;
      case 3:
        addAttachment(in, message, depth);
        break;
      case 4:
        namedProp(in, message);
        break;
      case 5:
        deleteProps(in, message);
        break;
      case 6:
        streamProp(in, message);
        break;
      case 7:
        message->DeleteAttach(in.ConsumeIntegralInRange<ULONG>(0, 8), 0, nullptr, 0);
        break;
    }
  }
}

ULONG rowCount(LPMESSAGE message, bool recipients) {
  LPMAPITABLE table = nullptr;
  HRESULT hr = recipients ? message->GetRecipientTable(0, &table) : message->GetAttachmentTable(0, &table);
  FUZZ_CHECK(SUCCEEDED(hr) && table, recipients ? "no recipient table" : "no attachment table");
  ULONG count = 0;
  FUZZ_CHECK(SUCCEEDED(table->GetRowCount(0, &count)), "GetRowCount failed");
  table->Release();
  return count;
}

// The file as libgsf reads it: the storages of the root.
void checkFile(const std::string& path, ULONG recipients, ULONG attachments) {
  GError* error = nullptr;
  GsfInput* input = gsf_input_stdio_new(path.c_str(), &error);
  FUZZ_CHECK(input, "the file cannot be opened: " + std::string(error ? error->message : "?"));
  GsfInfile* root = gsf_infile_msole_new(input, &error);
  g_object_unref(input);
  FUZZ_CHECK(root, "the file is no compound file: " + std::string(error ? error->message : "?"));
  bool properties = false;
  ULONG recipStorages = 0, attachStorages = 0;
  int children = gsf_infile_num_children(root);
  for (int k = 0; k < children; ++k) {
    std::string name = gsf_infile_name_by_index(root, k);
    if (name == "__properties_version1.0") properties = true;
    if (name.rfind("__recip_version1.0_#", 0) == 0) ++recipStorages;
    if (name.rfind("__attach_version1.0_#", 0) == 0) ++attachStorages;
  }
  g_object_unref(root);
  FUZZ_CHECK(properties, "the root has no property stream");
  FUZZ_CHECK(recipStorages == recipients, std::to_string(recipStorages) + " recipient storages for " +
                                              std::to_string(recipients) + " recipients");
  FUZZ_CHECK(attachStorages == attachments, std::to_string(attachStorages) + " attachment storages for " +
                                                std::to_string(attachments) + " attachments");
}

std::string g_path;
std::wstring g_widePath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = fuzzsupport::scratchDir() + "/message.msg";
  g_widePath.assign(g_path.begin(), g_path.end());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  long objects = mapitest::liveObjects();
  long buffers = mapitest::liveBuffers();
  mapitest::reset();
  bool fault = in.ConsumeIntegralInRange<int>(0, 3) == 0;
  if (fault) {
    const char* method = pick(in, kFaultMethods);
    unsigned nth = in.ConsumeIntegralInRange<unsigned>(1, 8);
    mapitest::addFault(method, nth, pick(in, kFaultResults));
  }

  LPSTORAGE storage = nullptr;
  LPMSGSESS session = nullptr;
  LPMESSAGE message = nullptr;
  HRESULT hr = StgCreateDocfile(g_widePath.c_str(), STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE, 0, &storage);
  FUZZ_CHECK(hr == S_OK, "StgCreateDocfile failed");
  hr = OpenIMsgSession(MAPIGetDefaultMalloc(), 0, &session);
  if (SUCCEEDED(hr))
    hr = OpenIMsgOnIStg(session, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(), nullptr,
                        storage, nullptr, 0, 0, &message);
  if (SUCCEEDED(hr)) hr = WriteClassStg(storage, kMsgFileClass);
  FUZZ_CHECK(fault || hr == S_OK, "opening the message on the storage failed");
  if (SUCCEEDED(hr)) {
    fill(in, message, 0);
    message->SaveChanges(KEEP_OPEN_READWRITE);
    hr = storage->Commit(STGC_DEFAULT);
    FUZZ_CHECK(fault || hr == S_OK, "the commit failed: " + std::to_string(static_cast<unsigned long>(hr)));
    if (hr == S_OK && !fault) checkFile(g_path, rowCount(message, true), rowCount(message, false));
  }
  if (message) message->Release();
  if (session) CloseIMsgSession(session);
  if (storage) storage->Release();
  mapitest::reset();
  unlink(g_path.c_str());

  FUZZ_CHECK(mapitest::liveObjects() == objects,
             std::to_string(mapitest::liveObjects() - objects) + " MAPI objects outlived the file");
  FUZZ_CHECK(mapitest::liveBuffers() == buffers,
             std::to_string(mapitest::liveBuffers() - buffers) + " MAPI buffers outlived the file");
  return 0;
}
