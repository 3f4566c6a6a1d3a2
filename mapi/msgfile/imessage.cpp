// IMessage on IStorage: OpenIMsgSession, OpenIMsgOnIStg, CloseIMsgSession.
//
// The message is held in memory (big string and binary values written
// through streams go to spools, so attachment data of any size is never held
// whole) and written into the storage in the Outlook item layout by
// SaveChanges, which then commits the storage unless IMSG_NO_ISTG_COMMIT was
// given. Attachments and embedded messages follow MAPI's transaction rules:
// an attachment becomes part of its message with the attachment's
// SaveChanges, an embedded message becomes part of its attachment with the
// embedded message's SaveChanges.
//
// Buffers handed out are MAPIAllocateBuffer blocks (the allocation routines
// given to OpenIMsgOnIStg are those in every caller of this subsystem).
// SubmitMessage is not offered (MAPI_E_NO_SUPPORT).
#include "msgfile/msgcopy.h"
#include "msgfile/msgdata.h"
#include "runtime/text.h"
#include "runtime/memtable.h"
#include "runtime/object.h"
#include "runtime/testctl_internal.h"

#include <imessage.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#include <tolvane/mapitest.h>

#include <atomic>
#include <cstdio>
#include <cstring>

// The message session: shared by the messages opened in it, gone when the
// caller has closed it and its last message is released.
struct _MSGSESS {
  std::atomic<long> refs{1};
  LPMALLOC malloc = nullptr;
  void addRef() { ++refs; }
  void release() {
    if (--refs == 0) delete this;
  }
};

namespace tmapi {
namespace msgfile {

namespace {

const char* const kComponent = "tolvane-mapi message file";

std::string hexTag(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

bool isStringType(ULONG type) { return type == PT_STRING8 || type == PT_UNICODE; }
bool isMvStringType(ULONG type) { return type == PT_MV_STRING8 || type == PT_MV_UNICODE; }

// The value as the caller asked for it: 8-bit and Unicode strings are the
// same text (the code page is UTF-8), only the tag changes.
bool retag(Prop& p, ULONG wantType) {
  ULONG have = PROP_TYPE(p.tag);
  if (wantType == have) return true;
  if ((isStringType(have) && isStringType(wantType)) || (isMvStringType(have) && isMvStringType(wantType))) {
    p.tag = CHANGE_PROP_TYPE(p.tag, wantType);
    return true;
  }
  return false;
}

ULONG unicodeType(ULONG type) {
  if (type == PT_STRING8) return PT_UNICODE;
  if (type == PT_MV_STRING8) return PT_MV_UNICODE;
  return type;
}

HRESULT problemsFor(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
  if (!out) return S_OK;
  *out = nullptr;
  if (problems.empty()) return S_OK;
  LPSPropProblemArray arr = nullptr;
  HRESULT hr =
      MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(problems.size())), reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return hr;
  arr->cProblem = static_cast<ULONG>(problems.size());
  for (size_t k = 0; k < problems.size(); ++k) arr->aProblem[k] = problems[k];
  *out = arr;
  return S_OK;
}

// Property access shared by messages and attachments. `objectTag` is a
// PT_OBJECT property the object has besides its map (an embedded message),
// or 0.
HRESULT getPropsOf(const PropMap& map, ULONG objectTag, LPSPropTagArray tags, ULONG flags, ULONG* count,
                   LPSPropValue* values) {
  ULONG limit = mapitest::sizeLimit();
  PropRow row;
  bool errors = false;
  auto add = [&](const Value& v, ULONG wantTag) {
    Prop p;
    ULONG wantType = PROP_TYPE(wantTag);
    if (wantType == PT_UNSPECIFIED)
      wantType = (flags & MAPI_UNICODE) ? unicodeType(PROP_TYPE(v.prop.tag)) : PROP_TYPE(v.prop.tag);
    if (!loadValue(v, limit, p)) {
      // Too big for one read: OpenProperty and a stream.
      row.push_back(Prop::Error(wantTag, MAPI_E_NOT_ENOUGH_MEMORY));
      errors = true;
    } else if (!retag(p, wantType)) {
      row.push_back(Prop::Error(wantTag, MAPI_E_NOT_FOUND));
      errors = true;
    } else {
      row.push_back(std::move(p));
    }
  };
  if (!tags) {
    for (const auto& e : map) add(e.second, CHANGE_PROP_TYPE(e.second.prop.tag, PT_UNSPECIFIED));
  } else {
    for (ULONG k = 0; k < tags->cValues; ++k) {
      ULONG tag = tags->aulPropTag[k];
      auto it = map.find(PROP_ID(tag));
      if (it != map.end()) {
        add(it->second, tag);
      } else {
        errors = true;
        bool isObject = objectTag && PROP_ID(tag) == PROP_ID(objectTag);
        row.push_back(Prop::Error(tag, isObject ? MAPI_E_NOT_ENOUGH_MEMORY : MAPI_E_NOT_FOUND));
      }
    }
  }
  HRESULT hr = rowToMAPI(row, nullptr, count, values);
  if (FAILED(hr)) return hr;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT getPropListOf(const PropMap& map, ULONG objectTag, ULONG flags, LPSPropTagArray* out) {
  size_t n = map.size() + (objectTag ? 1 : 0);
  LPSPropTagArray arr = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(n)), reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return hr;
  arr->cValues = 0;
  for (const auto& e : map) {
    ULONG tag = e.second.prop.tag;
    if (flags & MAPI_UNICODE) tag = CHANGE_PROP_TYPE(tag, unicodeType(PROP_TYPE(tag)));
    arr->aulPropTag[arr->cValues++] = tag;
  }
  if (objectTag) arr->aulPropTag[arr->cValues++] = objectTag;
  *out = arr;
  return S_OK;
}

void setPropsOn(PropMap& map, ULONG count, const SPropValue* values, std::vector<SPropProblem>& problems) {
  for (ULONG k = 0; k < count; ++k) {
    ULONG tag = values[k].ulPropTag;
    ULONG type = PROP_TYPE(tag);
    // PT_ERROR values come with copies of objects that could not give a
    // value: nothing to set.
    if (type == PT_ERROR || type == PT_NULL) continue;
    Value v;
    if (!Prop::fromMAPI(values[k], v.prop)) {
      problems.push_back(SPropProblem{k, tag, MAPI_E_INVALID_TYPE});
      continue;
    }
    if (isStringType(type)) {
      // A terminator copied along with a counted string is not text.
      while (!v.prop.bytes.empty() && v.prop.bytes.back() == '\0') v.prop.bytes.pop_back();
    }
    map[PROP_ID(tag)] = std::move(v);
  }
}

void deletePropsOn(PropMap& map, const SPropTagArray* tags, std::vector<SPropProblem>& problems) {
  for (ULONG k = 0; k < tags->cValues; ++k) {
    if (!map.erase(PROP_ID(tags->aulPropTag[k])))
      problems.push_back(SPropProblem{k, tags->aulPropTag[k], MAPI_E_NOT_FOUND});
  }
}

// A property's value as a stream: appended to when opened for writing, read
// from start to end otherwise.
class PropStream : public IStream, public ObjectBase {
 public:
  PropStream(std::shared_ptr<Spool> data, bool writable) : m_data(std::move(data)), m_writable(writable) {
    if (writable) m_pos = m_data->size();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
      AddRef();
      *ppv = static_cast<IStream*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    TM_CALL("IStream::Read", "cb=" + std::to_string(cb));
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    size_t got = 0;
    int err = 0;
    if (!m_data->read(m_pos, pv, cb, got, err)) return STG_E_READFAULT;
    m_pos += got;
    if (pcbRead) *pcbRead = static_cast<ULONG>(got);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    TM_CALL("IStream::Write", "cb=" + std::to_string(cb));
    if (pcbWritten) *pcbWritten = 0;
    if (!m_writable) return STG_E_ACCESSDENIED;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (m_pos != m_data->size()) return STG_E_INVALIDFUNCTION;  // values are written front to back
    int err = 0;
    if (!m_data->append(pv, cb, err)) return err == ENOSPC ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
    m_pos += cb;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override {
    TM_CALL("IStream::Seek", "origin=" + std::to_string(origin));
    int64_t base;
    switch (origin) {
      case STREAM_SEEK_SET:
        base = 0;
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<int64_t>(m_pos);
        break;
      case STREAM_SEEK_END:
        base = static_cast<int64_t>(m_data->size());
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    int64_t target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    m_pos = static_cast<uint64_t>(target);
    if (newPos) newPos->QuadPart = m_pos;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    TM_CALL("IStream::SetSize", "size=" + std::to_string(size.QuadPart));
    if (!m_writable) return STG_E_ACCESSDENIED;
    if (size.QuadPart == 0) {
      m_data->clear();
      m_pos = 0;
      return S_OK;
    }
    return size.QuadPart >= m_data->size() ? S_OK : STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* dest, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    TM_CALL("IStream::CopyTo", "");
    if (!dest) return STG_E_INVALIDPOINTER;
    uint64_t done = 0;
    std::string buf(64 * 1024, '\0');
    while (done < cb.QuadPart) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), cb.QuadPart - done));
      size_t got = 0;
      int err = 0;
      if (!m_data->read(m_pos, &buf[0], want, got, err)) return STG_E_READFAULT;
      if (got == 0) break;
      ULONG written = 0;
      HRESULT hr = dest->Write(buf.data(), static_cast<ULONG>(got), &written);
      if (FAILED(hr)) return hr;
      m_pos += got;
      done += got;
    }
    if (pcbRead) pcbRead->QuadPart = done;
    if (pcbWritten) pcbWritten->QuadPart = done;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
    TM_CALL("IStream::Commit", "");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Revert() override {
    TM_CALL("IStream::Revert", "");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    TM_CALL("IStream::LockRegion", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    TM_CALL("IStream::UnlockRegion", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD) override {
    TM_CALL("IStream::Stat", "");
    if (!st) return STG_E_INVALIDPOINTER;
    memset(st, 0, sizeof *st);
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = m_data->size();
    st->grfMode = m_writable ? STGM_READWRITE : STGM_READ;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** pp) override {
    TM_CALL("IStream::Clone", "");
    if (pp) *pp = nullptr;
    return STG_E_INVALIDFUNCTION;
  }

 private:
  ~PropStream() override = default;

  std::shared_ptr<Spool> m_data;
  bool m_writable;
  uint64_t m_pos = 0;
};

// OpenProperty(..., IID_IStream, ...) on a string or binary property.
// Interface options STGM_WRITE and STGM_READWRITE also ask for writing.
HRESULT openPropStream(PropMap& map, ULONG tag, ULONG options, ULONG flags, bool objectWritable, IStream** out) {
  ULONG type = PROP_TYPE(tag);
  if (type != PT_BINARY && type != PT_STRING8 && type != PT_UNICODE) return MAPI_E_INTERFACE_NOT_SUPPORTED;
  bool write = (flags & (MAPI_CREATE | MAPI_MODIFY)) != 0 || (options & (STGM_WRITE | STGM_READWRITE)) != 0;
  if (write && !objectWritable) return MAPI_E_NO_ACCESS;
  auto it = map.find(PROP_ID(tag));
  if (it == map.end() && !(flags & MAPI_CREATE)) return MAPI_E_NOT_FOUND;
  auto spool = std::make_shared<Spool>();
  int err = 0;
  if (it != map.end() && !(write && (flags & MAPI_CREATE))) {
    // The current value, as the stream carries it (Unicode as UTF-16LE).
    const Value& v = it->second;
    bool ok;
    if (v.big) {
      ok = spool->appendFrom(*v.big, err);
    } else {
      std::string bytes = PROP_TYPE(v.prop.tag) == PT_UNICODE ? utf8ToUtf16le(v.prop.bytes) : v.prop.bytes;
      ok = spool->append(bytes.data(), bytes.size(), err);
    }
    if (!ok) return MAPI_E_DISK_ERROR;
  }
  if (write) {
    Value v;
    v.prop.tag = tag;
    v.big = spool;
    map[PROP_ID(tag)] = std::move(v);
  }
  *out = new PropStream(spool, write);
  return S_OK;
}

// CopyTo's exclusions or CopyProps' inclusions.
HRESULT selection(ULONG ciidExclude, LPCIID rgiidExclude, const SPropTagArray* tags, bool include, ULONG flags,
                  CopySelection& sel) {
  if (flags & MAPI_MOVE) return MAPI_E_NO_SUPPORT;
  sel.include = include;
  sel.noReplace = (flags & MAPI_NOREPLACE) != 0;
  if (tags)
    for (ULONG k = 0; k < tags->cValues; ++k) sel.ids.push_back(PROP_ID(tags->aulPropTag[k]));
  for (ULONG k = 0; rgiidExclude && k < ciidExclude; ++k)
    if (rgiidExclude[k] == IID_IAttachment) sel.ids.push_back(PROP_ID(PR_MESSAGE_ATTACHMENTS));
  return S_OK;
}

class Attach;

class Message : public IMessage, public ObjectBase, public ErrorHolder {
 public:
  // The top-level message of a storage.
  Message(LPMSGSESS session, IStorage* stg, ULONG flags, MSGCALLRELEASE* onRelease, ULONG callerData)
      : m_session(session),
        m_stg(stg),
        m_flags(flags),
        m_onRelease(onRelease),
        m_callerData(callerData),
        m_names(std::make_shared<NameMap>()) {
    m_session->addRef();
    m_stg->AddRef();
  }
  // An embedded message, written into its attachment by SaveChanges.
  Message(Attach* parent, MsgData data, std::shared_ptr<NameMap> names);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMessage) {
      AddRef();
      *ppv = static_cast<IMessage*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  // IMAPIProp
  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    TM_CALL("IMessage::GetLastError", "");
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }
  STDMETHODIMP SaveChanges(ULONG ulFlags) override;
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override {
    TM_CALL_OBJ(this, "IMessage::GetProps", "");
    if (!lpcValues || !lppPropArray) return setError(MAPI_E_INVALID_PARAMETER, "GetProps: no output");
    HRESULT hr = getPropsOf(m_data.props, 0, lpPropTagArray, ulFlags, lpcValues, lppPropArray);
    return FAILED(hr) ? setError(hr, "GetProps: out of memory") : hr;
  }
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
    TM_CALL_OBJ(this, "IMessage::GetPropList", "");
    if (!lppPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "GetPropList: no output");
    HRESULT hr = getPropListOf(m_data.props, 0, ulFlags, lppPropTagArray);
    return FAILED(hr) ? setError(hr, "GetPropList: out of memory") : hr;
  }
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                            LPUNKNOWN* lppUnk) override {
    TM_CALL_OBJ(this, "IMessage::OpenProperty", "tag=" + hexTag(ulPropTag));
    if (!lppUnk || !lpiid) return setError(MAPI_E_INVALID_PARAMETER, "OpenProperty: no interface or output");
    *lppUnk = nullptr;
    if (*lpiid != IID_IStream)
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenProperty: only IStream is offered on a message");
    IStream* stm = nullptr;
    HRESULT hr = openPropStream(m_data.props, ulPropTag, ulInterfaceOptions, ulFlags, true, &stm);
    if (FAILED(hr)) return setError(hr, "OpenProperty: cannot open " + hexTag(ulPropTag) + " as a stream");
    *lppUnk = stm;
    return S_OK;
  }
  STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMessage::SetProps", "count=" + std::to_string(cValues));
    if (cValues && !lpPropArray) return setError(MAPI_E_INVALID_PARAMETER, "SetProps: no values");
    std::vector<SPropProblem> problems;
    setPropsOn(m_data.props, cValues, lpPropArray, problems);
    HRESULT hr = problemsFor(problems, lppProblems);
    return FAILED(hr) ? setError(hr, "SetProps: out of memory") : S_OK;
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMessage::DeleteProps", "");
    if (!lpPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "DeleteProps: no tags");
    std::vector<SPropProblem> problems;
    deletePropsOn(m_data.props, lpPropTagArray, problems);
    HRESULT hr = problemsFor(problems, lppProblems);
    return FAILED(hr) ? setError(hr, "DeleteProps: out of memory") : S_OK;
  }
  STDMETHODIMP CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG, LPMAPIPROGRESS,
                      LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMessage::CopyTo", "flags=" + std::to_string(ulFlags));
    if (lppProblems) *lppProblems = nullptr;
    CopySelection sel;
    HRESULT hr = selection(ciidExclude, rgiidExclude, lpExcludeProps, false, ulFlags, sel);
    if (FAILED(hr)) return setError(hr, "CopyTo: moving is not offered");
    return copyTo(sel, lpInterface, lpDestObj, "CopyTo");
  }
  STDMETHODIMP CopyProps(LPSPropTagArray lpIncludeProps, ULONG, LPMAPIPROGRESS, LPCIID lpInterface, LPVOID lpDestObj,
                         ULONG ulFlags, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IMessage::CopyProps", "flags=" + std::to_string(ulFlags));
    if (lppProblems) *lppProblems = nullptr;
    if (!lpIncludeProps) return setError(MAPI_E_INVALID_PARAMETER, "CopyProps: no properties named");
    CopySelection sel;
    HRESULT hr = selection(0, nullptr, lpIncludeProps, true, ulFlags, sel);
    if (FAILED(hr)) return setError(hr, "CopyProps: moving is not offered");
    return copyTo(sel, lpInterface, lpDestObj, "CopyProps");
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
                               LPMAPINAMEID** lpppPropNames) override;
  STDMETHODIMP GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                               LPSPropTagArray* lppPropTags) override;

  // IMessage
  STDMETHODIMP GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) override;
  STDMETHODIMP CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) override;
  STDMETHODIMP DeleteAttach(ULONG ulAttachmentNum, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) override {
    (void)ulUIParam;
    (void)lpProgress;
    (void)ulFlags;
    TM_CALL_OBJ(this, "IMessage::DeleteAttach", "num=" + std::to_string(ulAttachmentNum));
    if (!m_data.attachments.erase(ulAttachmentNum))
      return setError(MAPI_E_NOT_FOUND, "DeleteAttach: no attachment " + std::to_string(ulAttachmentNum));
    return S_OK;
  }
  STDMETHODIMP GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) override;
  STDMETHODIMP SubmitMessage(ULONG) override {
    TM_CALL_OBJ(this, "IMessage::SubmitMessage", "");
    return setError(MAPI_E_NO_SUPPORT, "SubmitMessage: a message in a file is not sent");
  }
  STDMETHODIMP SetReadFlag(ULONG ulFlags) override {
    TM_CALL_OBJ(this, "IMessage::SetReadFlag", "");
    Value& v = m_data.props[PROP_ID(PR_MESSAGE_FLAGS)];
    if (PROP_TYPE(v.prop.tag) != PT_LONG) v.prop = Prop::Long(PR_MESSAGE_FLAGS, 0);
    if (ulFlags & CLEAR_READ_FLAG)
      v.prop.i &= ~static_cast<int64_t>(MSGFLAG_READ);
    else
      v.prop.i |= MSGFLAG_READ;
    return S_OK;
  }

  // The properties present, for GetAttribIMsgOnIStg.
  bool hasProp(ULONG tag) const { return m_data.props.count(PROP_ID(tag)) != 0; }

  // For attachments of this message.
  void commitAttach(ULONG num, std::shared_ptr<const AttachData> data) { m_data.attachments[num] = std::move(data); }
  const std::shared_ptr<NameMap>& names() const { return m_names; }

 private:
  ~Message() override;

  HRESULT copyTo(const CopySelection& sel, LPCIID iface, LPVOID dest, const char* what) {
    if (!dest) return setError(MAPI_E_INVALID_PARAMETER, std::string(what) + ": no destination");
    if (iface && *iface != IID_IMessage)
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, std::string(what) + ": a message copies to a message");
    std::string error;
    HRESULT hr = copyMessageTo(m_data, *m_names, sel, static_cast<IMessage*>(dest), error);
    return FAILED(hr) ? setError(hr, error) : S_OK;
  }

  LPMSGSESS m_session = nullptr;
  IStorage* m_stg = nullptr;
  ULONG m_flags = 0;
  MSGCALLRELEASE* m_onRelease = nullptr;
  ULONG m_callerData = 0;
  Attach* m_parent = nullptr;
  MsgData m_data;
  std::shared_ptr<NameMap> m_names;
};

class Attach : public IAttach, public ObjectBase, public ErrorHolder {
 public:
  Attach(Message* msg, ULONG num, AttachData data) : m_msg(msg), m_num(num), m_data(std::move(data)) {
    m_msg->AddRef();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IAttachment) {
      AddRef();
      *ppv = static_cast<IAttach*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    TM_CALL("IAttach::GetLastError", "");
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }
  STDMETHODIMP SaveChanges(ULONG) override {
    TM_CALL_OBJ(this, "IAttach::SaveChanges", "num=" + std::to_string(m_num));
    m_msg->commitAttach(m_num, std::make_shared<const AttachData>(m_data));
    return S_OK;
  }
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override {
    TM_CALL_OBJ(this, "IAttach::GetProps", "");
    if (!lpcValues || !lppPropArray) return setError(MAPI_E_INVALID_PARAMETER, "GetProps: no output");
    HRESULT hr = getPropsOf(m_data.props, objectTag(), lpPropTagArray, ulFlags, lpcValues, lppPropArray);
    return FAILED(hr) ? setError(hr, "GetProps: out of memory") : hr;
  }
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
    TM_CALL_OBJ(this, "IAttach::GetPropList", "");
    if (!lppPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "GetPropList: no output");
    HRESULT hr = getPropListOf(m_data.props, objectTag(), ulFlags, lppPropTagArray);
    return FAILED(hr) ? setError(hr, "GetPropList: out of memory") : hr;
  }
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                            LPUNKNOWN* lppUnk) override;
  STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAttach::SetProps", "count=" + std::to_string(cValues));
    if (cValues && !lpPropArray) return setError(MAPI_E_INVALID_PARAMETER, "SetProps: no values");
    std::vector<SPropProblem> problems;
    setPropsOn(m_data.props, cValues, lpPropArray, problems);
    // Binary data replaces an embedded message (they share the property id).
    if (m_data.props.count(PROP_ID(PR_ATTACH_DATA_BIN))) m_data.embedded.reset();
    HRESULT hr = problemsFor(problems, lppProblems);
    return FAILED(hr) ? setError(hr, "SetProps: out of memory") : S_OK;
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAttach::DeleteProps", "");
    if (!lpPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "DeleteProps: no tags");
    std::vector<SPropProblem> problems;
    deletePropsOn(m_data.props, lpPropTagArray, problems);
    for (ULONG k = 0; k < lpPropTagArray->cValues; ++k)
      if (PROP_ID(lpPropTagArray->aulPropTag[k]) == PROP_ID(PR_ATTACH_DATA_OBJ)) m_data.embedded.reset();
    HRESULT hr = problemsFor(problems, lppProblems);
    return FAILED(hr) ? setError(hr, "DeleteProps: out of memory") : S_OK;
  }
  STDMETHODIMP CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG, LPMAPIPROGRESS,
                      LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAttach::CopyTo", "flags=" + std::to_string(ulFlags));
    if (lppProblems) *lppProblems = nullptr;
    CopySelection sel;
    HRESULT hr = selection(ciidExclude, rgiidExclude, lpExcludeProps, false, ulFlags, sel);
    if (FAILED(hr)) return setError(hr, "CopyTo: moving is not offered");
    return copyTo(sel, lpInterface, lpDestObj, "CopyTo");
  }
  STDMETHODIMP CopyProps(LPSPropTagArray lpIncludeProps, ULONG, LPMAPIPROGRESS, LPCIID lpInterface, LPVOID lpDestObj,
                         ULONG ulFlags, LPSPropProblemArray* lppProblems) override {
    TM_CALL_OBJ(this, "IAttach::CopyProps", "flags=" + std::to_string(ulFlags));
    if (lppProblems) *lppProblems = nullptr;
    if (!lpIncludeProps) return setError(MAPI_E_INVALID_PARAMETER, "CopyProps: no properties named");
    CopySelection sel;
    HRESULT hr = selection(0, nullptr, lpIncludeProps, true, ulFlags, sel);
    if (FAILED(hr)) return setError(hr, "CopyProps: moving is not offered");
    return copyTo(sel, lpInterface, lpDestObj, "CopyProps");
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
                               LPMAPINAMEID** lpppPropNames) override {
    TM_CALL_OBJ(this, "IAttach::GetNamesFromIDs", "");
    return m_msg->GetNamesFromIDs(lppPropTags, lpPropSetGuid, ulFlags, lpcPropNames, lpppPropNames);
  }
  STDMETHODIMP GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                               LPSPropTagArray* lppPropTags) override {
    TM_CALL_OBJ(this, "IAttach::GetIDsFromNames", "");
    return m_msg->GetIDsFromNames(cPropNames, lppPropNames, ulFlags, lppPropTags);
  }

  // The embedded message's SaveChanges.
  void commitEmbedded(std::shared_ptr<const MsgData> data) {
    m_data.embedded = std::move(data);
    m_data.props.erase(PROP_ID(PR_ATTACH_DATA_BIN));
    if (!m_data.props.count(PROP_ID(PR_ATTACH_METHOD)))
      m_data.props[PROP_ID(PR_ATTACH_METHOD)].prop = Prop::Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
  }

 private:
  ~Attach() override { m_msg->Release(); }
  ULONG objectTag() const { return m_data.embedded ? PR_ATTACH_DATA_OBJ : 0; }

  HRESULT copyTo(const CopySelection& sel, LPCIID iface, LPVOID dest, const char* what) {
    if (!dest) return setError(MAPI_E_INVALID_PARAMETER, std::string(what) + ": no destination");
    if (iface && *iface != IID_IAttachment)
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, std::string(what) + ": an attachment copies to an attachment");
    std::string error;
    HRESULT hr = copyAttachTo(m_data, *m_msg->names(), sel, static_cast<IAttach*>(dest), error);
    return FAILED(hr) ? setError(hr, error) : S_OK;
  }

  Message* m_msg;
  ULONG m_num;
  AttachData m_data;
};

Message::Message(Attach* parent, MsgData data, std::shared_ptr<NameMap> names)
    : m_parent(parent), m_data(std::move(data)), m_names(std::move(names)) {
  m_parent->AddRef();
}

Message::~Message() {
  if (m_onRelease) m_onRelease(m_callerData, this);
  if (m_stg) m_stg->Release();
  if (m_parent) m_parent->Release();
  if (m_session) m_session->release();
}

HRESULT Message::SaveChanges(ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMessage::SaveChanges", "flags=" + std::to_string(ulFlags));
  if (m_parent) {
    m_parent->commitEmbedded(std::make_shared<const MsgData>(m_data));
    return S_OK;
  }
  std::string error;
  HRESULT hr = writeMessage(m_data, *m_names, true, m_stg, error);
  if (FAILED(hr)) return setError(hr, error);
  if (!(m_flags & IMSG_NO_ISTG_COMMIT)) {
    hr = m_stg->Commit(STGC_DEFAULT);
    if (FAILED(hr)) return setError(hr, "IMessage::SaveChanges: the storage could not be committed");
  }
  return S_OK;
}

HRESULT Message::GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                 LPSPropTagArray* lppPropTags) {
  TM_CALL_OBJ(this, "IMessage::GetIDsFromNames", "count=" + std::to_string(cPropNames));
  if (!lppPropTags) return setError(MAPI_E_INVALID_PARAMETER, "GetIDsFromNames: no output");
  *lppPropTags = nullptr;
  NameMap& names = *m_names;
  bool all = !lppPropNames || cPropNames == 0;
  size_t n = all ? names.props.size() : cPropNames;
  LPSPropTagArray arr = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(n)), reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return setError(hr, "GetIDsFromNames: out of memory");
  arr->cValues = static_cast<ULONG>(n);
  bool errors = false;
  for (size_t k = 0; k < n; ++k) {
    if (all) {
      arr->aulPropTag[k] = PROP_TAG(PT_UNSPECIFIED, 0x8000 + k);
      continue;
    }
    const MAPINAMEID* name = lppPropNames[k];
    int index = name ? names.find(*name) : -1;
    bool valid =
        name && name->lpguid && (name->ulKind == MNID_ID || (name->ulKind == MNID_STRING && name->Kind.lpwstrName));
    if (index < 0 && valid && (ulFlags & MAPI_CREATE) && names.props.size() < 0x7FFF) {
      NamedProp np;
      np.guid = *name->lpguid;
      np.kind = name->ulKind;
      if (np.kind == MNID_ID)
        np.id = name->Kind.lID;
      else
        np.name = wideToUtf8(name->Kind.lpwstrName);
      names.props.push_back(np);
      index = static_cast<int>(names.props.size() - 1);
    }
    if (index < 0) {
      arr->aulPropTag[k] = PROP_TAG(PT_ERROR, 0);
      errors = true;
    } else {
      arr->aulPropTag[k] = PROP_TAG(PT_UNSPECIFIED, 0x8000 + index);
    }
  }
  *lppPropTags = arr;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT Message::GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
                                 LPMAPINAMEID** lpppPropNames) {
  TM_CALL_OBJ(this, "IMessage::GetNamesFromIDs", "");
  (void)ulFlags;
  if (!lppPropTags || !lpcPropNames || !lpppPropNames)
    return setError(MAPI_E_INVALID_PARAMETER, "GetNamesFromIDs: no tags or output");
  *lpcPropNames = 0;
  *lpppPropNames = nullptr;
  const NameMap& names = *m_names;
  std::vector<ULONG> ids;
  if (*lppPropTags) {
    for (ULONG k = 0; k < (*lppPropTags)->cValues; ++k) ids.push_back(PROP_ID((*lppPropTags)->aulPropTag[k]));
  } else {
    for (size_t k = 0; k < names.props.size(); ++k)
      if (!lpPropSetGuid || names.props[k].guid == *lpPropSetGuid) ids.push_back(static_cast<ULONG>(0x8000 + k));
  }
  LPMAPINAMEID* arr = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * (ids.empty() ? 1 : ids.size())),
                                  reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return setError(hr, "GetNamesFromIDs: out of memory");
  bool errors = false;
  for (size_t k = 0; k < ids.size(); ++k) {
    arr[k] = nullptr;
    if (ids[k] < 0x8000 || ids[k] - 0x8000 >= names.props.size()) {
      errors = true;
      continue;
    }
    const NamedProp& np = names.props[ids[k] - 0x8000];
    MAPINAMEID* name = nullptr;
    LPGUID guid = nullptr;
    if (FAILED(MAPIAllocateMore(sizeof(MAPINAMEID), arr, reinterpret_cast<LPVOID*>(&name))) ||
        FAILED(MAPIAllocateMore(sizeof(GUID), arr, reinterpret_cast<LPVOID*>(&guid)))) {
      MAPIFreeBuffer(arr);
      return setError(MAPI_E_NOT_ENOUGH_MEMORY, "GetNamesFromIDs: out of memory");
    }
    *guid = np.guid;
    name->lpguid = guid;
    name->ulKind = np.kind;
    if (np.kind == MNID_ID) {
      name->Kind.lID = np.id;
    } else {
      std::wstring w = utf8ToWideString(np.name);
      LPWSTR s = nullptr;
      if (FAILED(MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * sizeof(wchar_t)), arr,
                                  reinterpret_cast<LPVOID*>(&s)))) {
        MAPIFreeBuffer(arr);
        return setError(MAPI_E_NOT_ENOUGH_MEMORY, "GetNamesFromIDs: out of memory");
      }
      memcpy(s, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
      name->Kind.lpwstrName = s;
    }
    arr[k] = name;
  }
  if (!*lppPropTags) {
    LPSPropTagArray tags = nullptr;
    hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(ids.size())), reinterpret_cast<LPVOID*>(&tags));
    if (FAILED(hr)) {
      MAPIFreeBuffer(arr);
      return setError(hr, "GetNamesFromIDs: out of memory");
    }
    tags->cValues = static_cast<ULONG>(ids.size());
    for (size_t k = 0; k < ids.size(); ++k) tags->aulPropTag[k] = PROP_TAG(PT_UNSPECIFIED, ids[k]);
    *lppPropTags = tags;
  }
  *lpcPropNames = static_cast<ULONG>(ids.size());
  *lpppPropNames = arr;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT Message::GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  TM_CALL_OBJ(this, "IMessage::GetAttachmentTable", "");
  if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "GetAttachmentTable: no output");
  std::vector<PropRow> rows;
  ULONG limit = mapitest::sizeLimit();
  for (const auto& e : m_data.attachments) {
    PropRow row;
    for (const auto& pv : e.second->props) {
      Prop p;
      if (!loadValue(pv.second, limit, p)) continue;
      if (ulFlags & MAPI_UNICODE) retag(p, unicodeType(PROP_TYPE(p.tag)));
      row.push_back(std::move(p));
    }
    if (!findProp(row, PR_ATTACH_NUM)) row.push_back(Prop::Long(PR_ATTACH_NUM, static_cast<LONG>(e.first)));
    rows.push_back(std::move(row));
  }
  HRESULT hr = createMemTable(std::move(rows), nullptr, lppTable);
  return FAILED(hr) ? setError(hr, "GetAttachmentTable: out of memory") : S_OK;
}

HRESULT Message::OpenAttach(ULONG ulAttachmentNum, LPCIID, ULONG, LPATTACH* lppAttach) {
  TM_CALL_OBJ(this, "IMessage::OpenAttach", "num=" + std::to_string(ulAttachmentNum));
  if (!lppAttach) return setError(MAPI_E_INVALID_PARAMETER, "OpenAttach: no output");
  *lppAttach = nullptr;
  auto it = m_data.attachments.find(ulAttachmentNum);
  if (it == m_data.attachments.end())
    return setError(MAPI_E_NOT_FOUND, "OpenAttach: no attachment " + std::to_string(ulAttachmentNum));
  *lppAttach = new Attach(this, ulAttachmentNum, *it->second);
  return S_OK;
}

HRESULT Message::CreateAttach(LPCIID, ULONG, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) {
  TM_CALL_OBJ(this, "IMessage::CreateAttach", "");
  if (!lppAttach || !lpulAttachmentNum) return setError(MAPI_E_INVALID_PARAMETER, "CreateAttach: no output");
  ULONG num = m_data.nextAttachNum++;
  AttachData data;
  data.props[PROP_ID(PR_ATTACH_NUM)].prop = Prop::Long(PR_ATTACH_NUM, static_cast<LONG>(num));
  *lppAttach = new Attach(this, num, std::move(data));
  *lpulAttachmentNum = num;
  return S_OK;
}

HRESULT Message::GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  TM_CALL_OBJ(this, "IMessage::GetRecipientTable", "");
  if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "GetRecipientTable: no output");
  std::vector<PropRow> rows = m_data.recipients;
  if (ulFlags & MAPI_UNICODE)
    for (PropRow& row : rows)
      for (Prop& p : row) retag(p, unicodeType(PROP_TYPE(p.tag)));
  HRESULT hr = createMemTable(std::move(rows), nullptr, lppTable);
  return FAILED(hr) ? setError(hr, "GetRecipientTable: out of memory") : S_OK;
}

HRESULT Message::ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) {
  TM_CALL_OBJ(this, "IMessage::ModifyRecipients", "flags=" + std::to_string(ulFlags));
  if (!lpMods) return setError(MAPI_E_INVALID_PARAMETER, "ModifyRecipients: no list");
  if (ulFlags & ~(MODRECIP_ADD | MODRECIP_MODIFY | MODRECIP_REMOVE))
    return setError(MAPI_E_UNKNOWN_FLAGS, "ModifyRecipients: unknown flags");
  std::vector<PropRow>& recips = m_data.recipients;
  if (ulFlags == 0) recips.clear();
  auto rowIdOf = [](const ADRENTRY& e, LONG& id) {
    for (ULONG k = 0; k < e.cValues; ++k)
      if (e.rgPropVals[k].ulPropTag == PR_ROWID) {
        id = e.rgPropVals[k].Value.l;
        return true;
      }
    return false;
  };
  auto findRow = [&](LONG id) {
    for (size_t k = 0; k < recips.size(); ++k) {
      const Prop* p = findProp(recips[k], PR_ROWID);
      if (p && p->i == id) return static_cast<long>(k);
    }
    return -1L;
  };
  for (ULONG n = 0; n < lpMods->cEntries; ++n) {
    const ADRENTRY& e = lpMods->aEntries[n];
    if (e.cValues && !e.rgPropVals)
      return setError(MAPI_E_INVALID_PARAMETER, "ModifyRecipients: an entry has no values");
    LONG id = 0;
    if (ulFlags & MODRECIP_REMOVE) {
      long k = rowIdOf(e, id) ? findRow(id) : -1;
      if (k < 0) return setError(MAPI_E_NOT_FOUND, "ModifyRecipients: no recipient with that row id");
      recips.erase(recips.begin() + k);
      continue;
    }
    PropRow row;
    for (ULONG k = 0; k < e.cValues; ++k) {
      ULONG type = PROP_TYPE(e.rgPropVals[k].ulPropTag);
      if (type == PT_ERROR || type == PT_NULL || e.rgPropVals[k].ulPropTag == PR_ROWID) continue;
      Prop p;
      if (!Prop::fromMAPI(e.rgPropVals[k], p)) continue;
      if (isStringType(type))
        while (!p.bytes.empty() && p.bytes.back() == '\0') p.bytes.pop_back();
      row.push_back(std::move(p));
    }
    if (ulFlags & MODRECIP_MODIFY) {
      long k = rowIdOf(e, id) ? findRow(id) : -1;
      if (k < 0) return setError(MAPI_E_NOT_FOUND, "ModifyRecipients: no recipient with that row id");
      row.push_back(Prop::Long(PR_ROWID, id));
      recips[static_cast<size_t>(k)] = std::move(row);
      continue;
    }
    row.push_back(Prop::Long(PR_ROWID, static_cast<LONG>(m_data.nextRowId++)));
    recips.push_back(std::move(row));
  }
  return S_OK;
}

HRESULT Attach::OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                             LPUNKNOWN* lppUnk) {
  TM_CALL_OBJ(this, "IAttach::OpenProperty", "tag=" + hexTag(ulPropTag));
  if (!lppUnk || !lpiid) return setError(MAPI_E_INVALID_PARAMETER, "OpenProperty: no interface or output");
  *lppUnk = nullptr;
  if (*lpiid == IID_IMessage) {
    if (PROP_ID(ulPropTag) != PROP_ID(PR_ATTACH_DATA_OBJ))
      return setError(MAPI_E_NO_SUPPORT, "OpenProperty: only PR_ATTACH_DATA_OBJ opens as a message");
    MsgData data;
    if (!(ulFlags & MAPI_CREATE)) {
      if (!m_data.embedded) return setError(MAPI_E_NOT_FOUND, "OpenProperty: the attachment holds no message");
      data = *m_data.embedded;
    }
    *lppUnk = static_cast<IMessage*>(new Message(this, std::move(data), m_msg->names()));
    return S_OK;
  }
  if (*lpiid != IID_IStream)
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenProperty: only IStream and IMessage are offered");
  IStream* stm = nullptr;
  HRESULT hr = openPropStream(m_data.props, ulPropTag, ulInterfaceOptions, ulFlags, true, &stm);
  if (FAILED(hr)) return setError(hr, "OpenProperty: cannot open " + hexTag(ulPropTag) + " as a stream");
  if (PROP_ID(ulPropTag) == PROP_ID(PR_ATTACH_DATA_BIN) &&
      ((ulFlags & (MAPI_CREATE | MAPI_MODIFY)) || (ulInterfaceOptions & (STGM_WRITE | STGM_READWRITE))))
    m_data.embedded.reset();
  *lppUnk = stm;
  return S_OK;
}

}  // namespace

HRESULT propAttributes(LPVOID object, const SPropTagArray* tags, LPSPropAttrArray* out) {
  auto* msg = dynamic_cast<Message*>(static_cast<IMessage*>(object));
  if (!msg || !tags || !out) return MAPI_E_INVALID_PARAMETER;
  LPSPropAttrArray arr = nullptr;
  HRESULT hr =
      MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropAttrArray(tags->cValues)), reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return hr;
  arr->cValues = tags->cValues;
  for (ULONG k = 0; k < tags->cValues; ++k)
    arr->aPropAttr[k] =
        msg->hasProp(tags->aulPropTag[k]) ? (PROPATTR_READABLE | PROPATTR_WRITEABLE) : PROPATTR_NOT_PRESENT;
  *out = arr;
  return S_OK;
}

HRESULT openMessageOnStorage(LPMSGSESS session, IStorage* stg, ULONG flags, MSGCALLRELEASE* onRelease, ULONG callerData,
                             LPMESSAGE* out) {
  *out = new Message(session, stg, flags, onRelease, callerData);
  return S_OK;
}

}  // namespace msgfile
}  // namespace tmapi

extern "C" SCODE STDAPICALLTYPE OpenIMsgSession(LPMALLOC lpMalloc, ULONG ulFlags, LPMSGSESS* lppMsgSess) {
  if (lppMsgSess) *lppMsgSess = nullptr;
  TM_CALL("OpenIMsgSession", "flags=" + std::to_string(ulFlags));
  if (!lppMsgSess) return MAPI_E_INVALID_PARAMETER;
  *lppMsgSess = nullptr;
  if (!lpMalloc) return MAPI_E_INVALID_PARAMETER;
  auto* session = new _MSGSESS;
  session->malloc = lpMalloc;
  *lppMsgSess = session;
  return S_OK;
}

extern "C" void STDAPICALLTYPE CloseIMsgSession(LPMSGSESS lpMsgSess) {
  if (tmapi::g_testControlsActive.load(std::memory_order_relaxed)) tmapi::testCall("CloseIMsgSession", "");
  if (lpMsgSess) lpMsgSess->release();
}

extern "C" SCODE STDAPICALLTYPE OpenIMsgOnIStg(LPMSGSESS lpMsgSess, LPALLOCATEBUFFER lpAllocateBuffer,
                                               LPALLOCATEMORE lpAllocateMore, LPFREEBUFFER lpFreeBuffer,
                                               LPMALLOC lpMalloc, LPVOID lpMapiSup, LPSTORAGE lpStg,
                                               MSGCALLRELEASE* lpfMsgCallRelease, ULONG ulCallerData, ULONG ulFlags,
                                               LPMESSAGE* lppMsg) {
  if (lppMsg) *lppMsg = nullptr;
  TM_CALL("OpenIMsgOnIStg", "flags=" + std::to_string(ulFlags));
  (void)lpMapiSup;
  if (!lppMsg) return MAPI_E_INVALID_PARAMETER;
  *lppMsg = nullptr;
  if (!lpMsgSess || !lpAllocateBuffer || !lpAllocateMore || !lpFreeBuffer || !lpMalloc || !lpStg)
    return MAPI_E_INVALID_PARAMETER;
  if (ulFlags & ~static_cast<ULONG>(IMSG_NO_ISTG_COMMIT)) return MAPI_E_UNKNOWN_FLAGS;
  return tmapi::msgfile::openMessageOnStorage(lpMsgSess, lpStg, ulFlags, lpfMsgCallRelease, ulCallerData, lppMsg);
}

// Every property of a message on a storage is readable and writable.
extern "C" HRESULT STDAPICALLTYPE GetAttribIMsgOnIStg(LPVOID lpObject, LPSPropTagArray lpPropTagArray,
                                                      LPSPropAttrArray* lppPropAttrArray) {
  if (lppPropAttrArray) *lppPropAttrArray = nullptr;
  TM_CALL("GetAttribIMsgOnIStg", "");
  return tmapi::msgfile::propAttributes(lpObject, lpPropTagArray, lppPropAttrArray);
}

extern "C" HRESULT STDAPICALLTYPE SetAttribIMsgOnIStg(LPVOID lpObject, LPSPropTagArray lpPropTags,
                                                      LPSPropAttrArray lpPropAttrs,
                                                      LPSPropProblemArray* lppPropProblems) {
  if (lppPropProblems) *lppPropProblems = nullptr;
  TM_CALL("SetAttribIMsgOnIStg", "");
  if (!lpObject || !lpPropTags || !lpPropAttrs || lpPropTags->cValues != lpPropAttrs->cValues)
    return MAPI_E_INVALID_PARAMETER;
  return S_OK;
}

// A structured-storage result in MAPI's terms.
extern "C" SCODE STDAPICALLTYPE MapStorageSCode(SCODE StgSCode) {
  switch (static_cast<uint32_t>(StgSCode)) {
    case 0x80030070u:  // STG_E_MEDIUMFULL
      return MAPI_E_NOT_ENOUGH_DISK;
    case 0x80030008u:  // STG_E_INSUFFICIENTMEMORY
      return MAPI_E_NOT_ENOUGH_MEMORY;
    case 0x80030005u:  // STG_E_ACCESSDENIED
    case 0x80030020u:  // STG_E_SHAREVIOLATION
    case 0x80030021u:  // STG_E_LOCKVIOLATION
      return MAPI_E_NO_ACCESS;
    case 0x80030002u:  // STG_E_FILENOTFOUND
    case 0x80030003u:  // STG_E_PATHNOTFOUND
      return MAPI_E_NOT_FOUND;
    case 0x80030050u:  // STG_E_FILEALREADYEXISTS
      return MAPI_E_COLLISION;
    case 0x80030057u:  // STG_E_INVALIDPARAMETER
    case 0x800300FFu:  // STG_E_INVALIDFLAG
    case 0x80030009u:  // STG_E_INVALIDPOINTER
    case 0x800300FCu:  // STG_E_INVALIDNAME
      return MAPI_E_INVALID_PARAMETER;
    case 0x80030102u:  // STG_E_REVERTED
      return MAPI_E_OBJECT_DELETED;
    default:
      return (static_cast<uint32_t>(StgSCode) & 0xFFFF0000u) == 0x80030000u ? MAPI_E_CALL_FAILED : StgSCode;
  }
}
