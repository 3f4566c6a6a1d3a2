#include "spool_testutil.h"

#include "deliver.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>

namespace spooltest {

namespace {

const ULONG kInternetMessageIdA = PROP_TAG(PT_STRING8, 0x1035);
const ULONG kPrHtml = PROP_TAG(PT_BINARY, 0x1013);
const ULONG kPrInternetCpid = PROP_TAG(PT_LONG, 0x3FDE);
const LONG kCodePageUtf8 = 65001;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

template <typename T>
struct Held {
  T* p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

HRESULT openById(LPMDB store, ULONG tag, LPMAPIFOLDER* folder) {
  LPSPropValue id = nullptr;
  HRESULT hr = HrGetOneProp(store, tag, &id);
  if (FAILED(hr)) return hr;
  ULONG type = 0;
  hr = store->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr, MAPI_MODIFY, &type,
                        reinterpret_cast<LPUNKNOWN*>(folder));
  MAPIFreeBuffer(id);
  return hr;
}

std::string timeText(const FILETIME& ft) {
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return std::to_string(static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL);
}

}  // namespace

std::string tempDir(const std::string& tag) {
  const char* base = getenv("TOLVANE_TEST_TMP");
  std::string root = base && *base ? base : "/tmp";
  std::string cmd = "mkdir -p '" + root + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot make " << root;
  std::string pattern = root + "/" + tag + "-XXXXXX";
  if (!mkdtemp(&pattern[0])) ADD_FAILURE() << "mkdtemp " << pattern;
  return pattern;
}

void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string stringProp(LPMAPIPROP obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return "";
  std::string out = PROP_TYPE(tag) == PT_BINARY
                        ? std::string(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb)
                        : std::string(v->Value.lpszA ? v->Value.lpszA : "");
  MAPIFreeBuffer(v);
  return out;
}

LONG longProp(LPMAPIPROP obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return -1;
  LONG out = PROP_TYPE(tag) == PT_BOOLEAN ? v->Value.b : v->Value.l;
  MAPIFreeBuffer(v);
  return out;
}

int64_t unixTimeProp(LPMAPIPROP obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return -1;
  int64_t out = std::stoll(timeText(v->Value.ft));
  MAPIFreeBuffer(v);
  return out;
}

std::string streamProp(LPMAPIPROP obj, ULONG tag) {
  LPSTREAM stream = nullptr;
  if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream)))) return "<none>";
  std::string out;
  char buf[65536];
  ULONG got = 0;
  while (SUCCEEDED(stream->Read(buf, sizeof buf, &got)) && got > 0) out.append(buf, got);
  stream->Release();
  return out;
}

std::string lastErrorText(LPMAPIPROP obj, HRESULT hr) {
  LPMAPIERROR info = nullptr;
  std::string text;
  if (SUCCEEDED(obj->GetLastError(hr, 0, &info)) && info) {
    if (info->lpszError) text = reinterpret_cast<const char*>(info->lpszError);
    MAPIFreeBuffer(info);
  }
  return text;
}

std::vector<std::vector<std::string>> recipientRows(LPMESSAGE message, const std::vector<ULONG>& columns) {
  std::vector<std::vector<std::string>> out;
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(message->GetRecipientTable(0, &table), S_OK);
  if (!table) return out;
  std::vector<ULONG> cols(columns.size() + 1);
  cols[0] = static_cast<ULONG>(columns.size());
  std::copy(columns.begin(), columns.end(), cols.begin() + 1);
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(cols.data()), nullptr, nullptr, 0, &rows), S_OK);
  table->Release();
  if (!rows) return out;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    std::vector<std::string> row;
    for (size_t c = 0; c < columns.size(); ++c) {
      const SPropValue& v = rows->aRow[i].lpProps[c];
      if (v.ulPropTag != columns[c]) {
        row.push_back("<missing>");
      } else if (PROP_TYPE(v.ulPropTag) == PT_STRING8) {
        row.push_back(v.Value.lpszA ? v.Value.lpszA : "");
      } else if (PROP_TYPE(v.ulPropTag) == PT_SYSTIME) {
        row.push_back(timeText(v.Value.ft));
      } else if (PROP_TYPE(v.ulPropTag) == PT_LONG) {
        row.push_back(std::to_string(v.Value.l));
      } else {
        row.push_back("<value>");
      }
    }
    out.push_back(row);
  }
  FreeProws(rows);
  return out;
}

Mailbox::~Mailbox() { close(); }

void Mailbox::close() {
  if (m_store) m_store->Release();
  m_store = nullptr;
  if (m_session) {
    m_session->Logoff(0, 0, 0);
    m_session->Release();
  }
  m_session = nullptr;
  if (m_initialized) MAPIUninitialize();
  m_initialized = false;
}

HRESULT Mailbox::open(const std::string& profile, std::string& error) {
  close();
  HRESULT hr = MAPIInitialize(nullptr);
  if (FAILED(hr)) {
    error = "MAPIInitialize failed";
    return hr;
  }
  m_initialized = true;
  hr = MAPILogonEx(0, const_cast<LPTSTR>(profile.c_str()), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION, &m_session);
  if (FAILED(hr)) {
    m_session = nullptr;
    error = "MAPILogonEx failed for " + profile;
    return hr;
  }
  return mapimime::openDefaultStore(m_session, &m_store, error);
}

HRESULT Mailbox::compose(const Draft& draft, LPMESSAGE* message, std::string& error, bool save) {
  *message = nullptr;
  Held<IMAPIFolder> outbox;
  HRESULT hr = openById(m_store, PR_IPM_OUTBOX_ENTRYID, &outbox.p);
  if (FAILED(hr)) {
    error = "Cannot open the Outbox";
    return hr;
  }
  Held<IMessage> msg;
  hr = outbox.p->CreateMessage(nullptr, 0, &msg.p);
  if (FAILED(hr)) {
    error = "CreateMessage: " + lastErrorText(outbox.p, hr);
    return hr;
  }
  LPSPropValue sentMail = nullptr;
  if (draft.sentMailEntryId) {
    hr = HrGetOneProp(m_store, PR_IPM_SENTMAIL_ENTRYID, &sentMail);
    if (FAILED(hr)) {
      error = "No PR_IPM_SENTMAIL_ENTRYID";
      return hr;
    }
  }
  std::vector<SPropValue> values;
  SPropValue v;
  v.ulPropTag = PR_MESSAGE_CLASS_A;
  v.Value.lpszA = const_cast<LPSTR>("IPM.Note");
  values.push_back(v);
  v.ulPropTag = PR_SUBJECT_A;
  v.Value.lpszA = const_cast<LPSTR>(draft.subject.c_str());
  values.push_back(v);
  if (!draft.body.empty()) {
    v.ulPropTag = PR_BODY_A;
    v.Value.lpszA = const_cast<LPSTR>(draft.body.c_str());
    values.push_back(v);
  }
  if (!draft.html.empty()) {
    v.ulPropTag = kPrHtml;
    v.Value.bin.cb = static_cast<ULONG>(draft.html.size());
    v.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(draft.html.data()));
    values.push_back(v);
    v.ulPropTag = kPrInternetCpid;
    v.Value.l = kCodePageUtf8;
    values.push_back(v);
  }
  if (sentMail) {
    v.ulPropTag = PR_SENTMAIL_ENTRYID;
    v.Value.bin = sentMail->Value.bin;
    values.push_back(v);
  }
  if (draft.deleteAfterSubmit) {
    v.ulPropTag = PR_DELETE_AFTER_SUBMIT;
    v.Value.b = TRUE;
    values.push_back(v);
  }
  hr = msg.p->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr);
  MAPIFreeBuffer(sentMail);
  if (FAILED(hr)) {
    error = "SetProps: " + lastErrorText(msg.p, hr);
    return hr;
  }

  if (!draft.recipients.empty()) {
    LPADRLIST list = nullptr;
    MAPIAllocateBuffer(CbNewADRLIST(draft.recipients.size()), reinterpret_cast<LPVOID*>(&list));
    list->cEntries = static_cast<ULONG>(draft.recipients.size());
    for (size_t k = 0; k < draft.recipients.size(); ++k) {
      const Recipient& r = draft.recipients[k];
      ULONG n = r.noAddress ? 2 : 4;
      LPSPropValue props = nullptr;
      MAPIAllocateBuffer(sizeof(SPropValue) * n, reinterpret_cast<LPVOID*>(&props));
      props[0].ulPropTag = PR_RECIPIENT_TYPE;
      props[0].Value.l = static_cast<LONG>(r.type);
      props[1].ulPropTag = PR_DISPLAY_NAME_A;
      MAPIAllocateMore(static_cast<ULONG>(r.name.size() + 1), props, reinterpret_cast<LPVOID*>(&props[1].Value.lpszA));
      strcpy(props[1].Value.lpszA, r.name.c_str());
      if (!r.noAddress) {
        props[2].ulPropTag = PR_EMAIL_ADDRESS_A;
        MAPIAllocateMore(static_cast<ULONG>(r.address.size() + 1), props,
                         reinterpret_cast<LPVOID*>(&props[2].Value.lpszA));
        strcpy(props[2].Value.lpszA, r.address.c_str());
        props[3].ulPropTag = PR_ADDRTYPE_A;
        props[3].Value.lpszA = const_cast<LPSTR>("SMTP");
      }
      list->aEntries[k].ulReserved1 = 0;
      list->aEntries[k].cValues = n;
      list->aEntries[k].rgPropVals = props;
    }
    hr = msg.p->ModifyRecipients(MODRECIP_ADD, list);
    FreePadrlist(list);
    if (FAILED(hr)) {
      error = "ModifyRecipients: " + lastErrorText(msg.p, hr);
      return hr;
    }
  }

  for (const auto& f : draft.files) {
    Held<IAttach> att;
    ULONG num = 0;
    hr = msg.p->CreateAttach(nullptr, 0, &num, &att.p);
    if (FAILED(hr)) {
      error = "CreateAttach: " + lastErrorText(msg.p, hr);
      return hr;
    }
    SPropValue a[4];
    a[0].ulPropTag = PR_ATTACH_METHOD;
    a[0].Value.l = ATTACH_BY_VALUE;
    a[1].ulPropTag = PR_ATTACH_LONG_FILENAME_A;
    a[1].Value.lpszA = const_cast<LPSTR>(f.name.c_str());
    a[2].ulPropTag = PR_ATTACH_FILENAME_A;
    a[2].Value.lpszA = const_cast<LPSTR>(f.name.c_str());
    a[3].ulPropTag = PR_ATTACH_DATA_BIN;
    a[3].Value.bin.cb = static_cast<ULONG>(f.data.size());
    a[3].Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(f.data.data()));
    hr = att.p->SetProps(4, a, nullptr);
    if (SUCCEEDED(hr)) hr = att.p->SaveChanges(0);
    if (FAILED(hr)) {
      error = "attachment: " + lastErrorText(att.p, hr);
      return hr;
    }
  }
  if (save) {
    hr = msg.p->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) {
      error = "SaveChanges: " + lastErrorText(msg.p, hr);
      return hr;
    }
  }
  *message = msg.p;
  msg.p = nullptr;
  return S_OK;
}

HRESULT Mailbox::submit(const Draft& draft, std::string& error) {
  LPMESSAGE msg = nullptr;
  HRESULT hr = compose(draft, &msg, error);
  if (FAILED(hr)) return hr;
  hr = msg->SubmitMessage(0);
  if (FAILED(hr)) error = "SubmitMessage: " + lastErrorText(msg, hr);
  msg->Release();
  return hr;
}

LPMESSAGE Mailbox::open(const std::string& entryId) {
  ULONG type = 0;
  LPUNKNOWN unk = nullptr;
  HRESULT hr = m_store->OpenEntry(static_cast<ULONG>(entryId.size()),
                                  reinterpret_cast<LPENTRYID>(const_cast<char*>(entryId.data())), nullptr, MAPI_MODIFY,
                                  &type, &unk);
  EXPECT_EQ(hr, S_OK);
  return reinterpret_cast<LPMESSAGE>(unk);
}

std::vector<Stored> Mailbox::messages(const std::string& folderPath) {
  std::vector<Stored> out;
  LPMAPIFOLDER folder = nullptr;
  std::string error;
  HRESULT hr = mapimime::openFolderByPath(m_store, folderPath, &folder, error);
  EXPECT_EQ(hr, S_OK) << error;
  if (FAILED(hr)) return out;
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(folder->GetContentsTable(0, &table), S_OK);
  folder->Release();
  if (!table) return out;
  SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  table->Release();
  if (!rows) return out;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    Stored s;
    s.entryId.assign(reinterpret_cast<const char*>(rows->aRow[i].lpProps[0].Value.bin.lpb),
                     rows->aRow[i].lpProps[0].Value.bin.cb);
    LPMESSAGE m = open(s.entryId);
    if (!m) continue;
    s.subject = stringProp(m, PR_SUBJECT_A);
    s.messageClass = stringProp(m, PR_MESSAGE_CLASS_A);
    s.body = stringProp(m, PR_BODY_A);
    s.messageId = stringProp(m, kInternetMessageIdA);
    s.flags = longProp(m, PR_MESSAGE_FLAGS);
    s.hasSubmitFlags = longProp(m, PR_SUBMIT_FLAGS) != -1;
    s.displayTo = stringProp(m, PR_DISPLAY_TO_A);
    s.displayCc = stringProp(m, PR_DISPLAY_CC_A);
    s.displayBcc = stringProp(m, PR_DISPLAY_BCC_A);
    m->Release();
    out.push_back(s);
  }
  FreeProws(rows);
  return out;
}

}  // namespace spooltest
