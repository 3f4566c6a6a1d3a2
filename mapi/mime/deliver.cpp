#include "deliver.h"

#include "mapiwriter.h"
#include "mimereader.h"
#include "mimetags.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <tolvane/batch.h>
#include <tolvane/deliverykey.h>

#include <gmime/gmime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mapimime {

namespace {

std::string hexCode(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

HRESULT openFolderEntry(LPMAPIPROP opener, bool isStore, ULONG cb, LPENTRYID id, LPMAPIFOLDER* folder,
                        std::string& error) {
  ULONG type = 0;
  LPUNKNOWN unk = nullptr;
  HRESULT hr = isStore ? static_cast<LPMDB>(opener)->OpenEntry(cb, id, nullptr, MAPI_BEST_ACCESS, &type, &unk)
                       : static_cast<LPMAPIFOLDER>(opener)->OpenEntry(cb, id, nullptr, MAPI_BEST_ACCESS, &type, &unk);
  if (FAILED(hr)) {
    error = mapiErrorText(opener, hr, "Cannot open a folder");
    return hr;
  }
  if (type != MAPI_FOLDER) {
    unk->Release();
    error = "The entry is not a folder";
    return MAPI_E_INVALID_ENTRYID;
  }
  *folder = reinterpret_cast<LPMAPIFOLDER>(unk);
  return S_OK;
}

}  // namespace

HRESULT openDefaultStore(LPMAPISESSION session, LPMDB* store, std::string& error) {
  *store = nullptr;
  LPMAPITABLE table = nullptr;
  HRESULT hr = session->GetMsgStoresTable(0, &table);
  if (FAILED(hr)) {
    error = "Cannot read the profile's message stores (" + hexCode(hr) + ")";
    return hr;
  }
  SizedSPropTagArray(2, columns) = {2, {PR_DEFAULT_STORE, PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
  table->Release();
  if (FAILED(hr)) {
    error = "Cannot read the profile's message stores (" + hexCode(hr) + ")";
    return hr;
  }
  hr = MAPI_E_NOT_FOUND;
  error = "The profile has no default message store";
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    if (v[0].ulPropTag != PR_DEFAULT_STORE || !v[0].Value.b || v[1].ulPropTag != PR_ENTRYID) continue;
    hr = session->OpenMsgStore(0, v[1].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[1].Value.bin.lpb), nullptr,
                               MDB_WRITE | MAPI_BEST_ACCESS | MDB_NO_DIALOG, store);
    if (FAILED(hr)) {
      LPMAPIERROR info = nullptr;
      error = "Cannot open the message store";
      if (SUCCEEDED(session->GetLastError(hr, 0, &info)) && info) {
        if (info->lpszError) error += std::string(": ") + info->lpszError;
        MAPIFreeBuffer(info);
      }
      error += " (" + hexCode(hr) + ")";
    }
    break;
  }
  FreeProws(rows);
  return hr;
}

HRESULT openFolderByPath(LPMDB store, const std::string& path, LPMAPIFOLDER* folder, std::string& error) {
  *folder = nullptr;
  std::vector<std::string> parts = splitPath(path);
  if (parts.empty()) {
    ULONG cb = 0;
    LPENTRYID id = nullptr;
    HRESULT hr = store->GetReceiveFolder(const_cast<LPTSTR>("IPM.Note"), 0, &cb, &id, nullptr);
    if (FAILED(hr)) {
      error = mapiErrorText(store, hr, "Cannot find the receive folder");
      return hr;
    }
    hr = openFolderEntry(store, true, cb, id, folder, error);
    MAPIFreeBuffer(id);
    return hr;
  }
  LPSPropValue subtree = nullptr;
  HRESULT hr = HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &subtree);
  if (FAILED(hr)) {
    error = mapiErrorText(store, hr, "Cannot find the Top of Information Store");
    return hr;
  }
  LPMAPIFOLDER current = nullptr;
  hr = openFolderEntry(store, true, subtree->Value.bin.cb, reinterpret_cast<LPENTRYID>(subtree->Value.bin.lpb),
                       &current, error);
  MAPIFreeBuffer(subtree);
  if (FAILED(hr)) return hr;
  for (const auto& name : parts) {
    LPMAPITABLE table = nullptr;
    hr = current->GetHierarchyTable(0, &table);
    if (FAILED(hr)) {
      error = mapiErrorText(current, hr, "Cannot list the subfolders");
      current->Release();
      return hr;
    }
    SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_A, PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
    table->Release();
    if (FAILED(hr)) {
      error = "Cannot list the subfolders (" + hexCode(hr) + ")";
      current->Release();
      return hr;
    }
    LPMAPIFOLDER next = nullptr;
    hr = MAPI_E_NOT_FOUND;
    error = "No folder '" + name + "' in '" + path + "'";
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      if (v[0].ulPropTag != PR_DISPLAY_NAME_A || v[1].ulPropTag != PR_ENTRYID) continue;
      if (strcasecmp(v[0].Value.lpszA, name.c_str()) != 0) continue;
      hr = openFolderEntry(current, false, v[1].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[1].Value.bin.lpb), &next,
                           error);
      break;
    }
    FreeProws(rows);
    current->Release();
    if (FAILED(hr)) return hr;
    current = next;
  }
  *folder = current;
  return S_OK;
}

MailDelivery::~MailDelivery() { close(); }

void MailDelivery::close() {
  if (m_folder) m_folder->Release();
  m_folder = nullptr;
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

HRESULT MailDelivery::open(const std::string& profile, std::string& error) {
  close();
  initMime();
  HRESULT hr = MAPIInitialize(nullptr);
  if (FAILED(hr)) {
    error = "MAPI cannot start (" + hexCode(hr) + ")";
    return hr;
  }
  m_initialized = true;
  hr = MAPILogonEx(0, const_cast<LPTSTR>(profile.c_str()), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_NO_MAIL,
                   &m_session);
  if (FAILED(hr)) {
    m_session = nullptr;
    error = hr == MAPI_E_LOGON_FAILED ? "There is no profile '" + profile + "'"
                                      : "Cannot log on to the profile '" + profile + "' (" + hexCode(hr) + ")";
    return hr;
  }
  hr = openDefaultStore(m_session, &m_store, error);
  if (FAILED(hr)) return hr;
  return openFolderByPath(m_store, "", &m_folder, error);
}

HRESULT MailDelivery::openFolder(const std::string& path, std::string& error) {
  if (!m_store) {
    error = "No message store is open";
    return MAPI_E_CALL_FAILED;
  }
  LPMAPIFOLDER folder = nullptr;
  HRESULT hr = openFolderByPath(m_store, path, &folder, error);
  if (FAILED(hr)) return hr;
  if (m_folder) m_folder->Release();
  m_folder = folder;
  return S_OK;
}

DeliveryResult MailDelivery::deliverStream(GMimeStream* stream) {
  Parsed parsed;
  parseStream(stream, parsed);
  return parsed.ok ? storeItem(parsed.item) : parsed.result;
}

void MailDelivery::parseStream(GMimeStream* stream, Parsed& parsed) {
  parsed.ok = MimeReader::read(stream, parsed.item, parsed.result.error);
  if (!parsed.ok) {
    parsed.result.failure = DeliveryFailure::kNotAMessage;
    parsed.result.hr = MAPI_E_INVALID_PARAMETER;
  }
}

namespace {

// The delivery key of a message (tolvane/deliverykey.h): its Message-ID and a
// SHA-256 of its header block and texts. A retry by a mail server gives the
// same file, so the same key; two messages share a key only if they share
// their Message-ID and every header field (Received lines included). None
// for a message without a Message-ID.
std::string deliveryKey(const MailItem& item) {
  const MailProp* id = findProp(item.props, kPrInternetMessageId);
  if (!id || id->bytes.empty()) return std::string();
  GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
  for (const MailProp& p : item.props) {
    if (p.tag != PR_TRANSPORT_MESSAGE_HEADERS_W && p.tag != PR_BODY_W && p.tag != kPrBodyHtml) continue;
    std::string head = std::to_string(p.tag) + ":" + std::to_string(p.bytes.size()) + ":";
    g_checksum_update(sum, reinterpret_cast<const guchar*>(head.data()), static_cast<gssize>(head.size()));
    g_checksum_update(sum, reinterpret_cast<const guchar*>(p.bytes.data()), static_cast<gssize>(p.bytes.size()));
  }
  std::string attachments = "attachments:" + std::to_string(item.attachments.size());
  g_checksum_update(sum, reinterpret_cast<const guchar*>(attachments.data()), static_cast<gssize>(attachments.size()));
  guint8 digest[32];
  gsize length = sizeof digest;
  g_checksum_get_digest(sum, digest, &length);
  g_checksum_free(sum);
  return id->bytes + '\n' + std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

DeliveryResult MailDelivery::storeItem(const MailItem& item) {
  DeliveryResult result;
  if (!m_folder) {
    result.failure = DeliveryFailure::kStore;
    result.hr = MAPI_E_CALL_FAILED;
    result.error = "No folder is open";
    return result;
  }
  LPMESSAGE message = nullptr;
  HRESULT hr = m_folder->CreateMessage(nullptr, 0, &message);
  if (FAILED(hr)) {
    result.failure = DeliveryFailure::kStore;
    result.hr = hr;
    result.error = mapiErrorText(m_folder, hr, "Cannot create the message");
    return result;
  }
  result.truncated = truncationNote(item);
  hr = MapiWriter::write(item, message, result.error);
  std::string key = SUCCEEDED(hr) ? deliveryKey(item) : std::string();
  if (!key.empty()) {
    SPropValue v;
    v.ulPropTag = PR_TOLVANE_DELIVERY_KEY;
    v.Value.bin.cb = static_cast<ULONG>(key.size());
    v.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(key.data()));
    hr = message->SetProps(1, &v, nullptr);
    if (FAILED(hr)) result.error = mapiErrorText(message, hr, "Cannot save the message");
  }
  if (SUCCEEDED(hr)) {
    hr = message->SaveChanges(0);
    if (hr == MAPI_E_COLLISION && !key.empty()) {
      // Delivered before (a retry whose first answer was lost): stored once.
      result.alreadyStored = true;
      hr = S_OK;
    } else if (FAILED(hr)) {
      result.error = mapiErrorText(message, hr, "Cannot save the message");
    }
  }
  // Released unsaved after a failure, the message leaves nothing behind.
  message->Release();
  if (FAILED(hr)) {
    result.failure = DeliveryFailure::kStore;
    result.hr = hr;
  }
  return result;
}

DeliveryResult MailDelivery::deliverFile(const std::string& path) {
  if (path == "-") return deliverFd(0);
  DeliveryResult result;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.failure = DeliveryFailure::kInput;
    result.hr = MAPI_E_DISK_ERROR;
    result.error = "Cannot open " + path + ": " + strerror(errno);
    return result;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    result.failure = DeliveryFailure::kInput;
    result.hr = MAPI_E_DISK_ERROR;
    result.error = "Cannot read " + path + ": it is a folder";
    return result;
  }
  result = deliverFd(fd);
  ::close(fd);
  return result;
}

std::vector<DeliveryResult> MailDelivery::deliverFiles(const std::vector<std::string>& paths,
                                                      const std::function<void(size_t done)>& progress) {
  std::vector<DeliveryResult> results(paths.size());
  size_t i = 0;
  while (i < paths.size()) {
    if (progress && i > 0) progress(i);
    size_t end = i;
    uint64_t bytes = 0;
    while (end < paths.size() && paths[end] != "-" && end - i < kBatchFiles && (end == i || bytes < kBatchBytes)) {
      struct stat st;
      if (stat(paths[end].c_str(), &st) == 0 && S_ISREG(st.st_mode)) bytes += static_cast<uint64_t>(st.st_size);
      ++end;
    }
    if (end - i < 2) {
      // One file, or standard input (it cannot be read twice): alone.
      size_t next = std::max(end, i + 1);
      for (; i < next; ++i) results[i] = deliverFile(paths[i]);
      continue;
    }
    auto one = [&](size_t k) { return deliverFile(paths[k]); };
    if (!deliverBatch(i, end, one, results)) {
      for (size_t k = i; k < end; ++k) results[k] = one(k);
    }
    i = end;
  }
  if (progress) progress(paths.size());
  return results;
}

std::vector<DeliveryResult> MailDelivery::storeParsed(const std::vector<Parsed*>& batch) {
  std::vector<DeliveryResult> results(batch.size());
  // Read again from its descriptor: a message stored on its own after its
  // batch was undone.
  auto again = [&](size_t k) {
    if (lseek(batch[k]->fd, 0, SEEK_SET) < 0) {
      DeliveryResult result;
      result.failure = DeliveryFailure::kInput;
      result.hr = MAPI_E_DISK_ERROR;
      result.error = std::string("Cannot read the message kept: ") + strerror(errno);
      return result;
    }
    return deliverFd(batch[k]->fd);
  };
  auto first = [&](size_t k) { return batch[k]->ok ? storeItem(batch[k]->item) : batch[k]->result; };
  if (batch.size() == 1) {
    results[0] = first(0);
  } else if (!deliverBatch(0, batch.size(), first, results)) {
    for (size_t k = 0; k < batch.size(); ++k) results[k] = again(k);
  }
  return results;
}

bool MailDelivery::deliverBatch(size_t from, size_t to, const std::function<DeliveryResult(size_t)>& one,
                                std::vector<DeliveryResult>& results) {
  std::string error;
  if (FAILED(mapibatch::begin(m_store, error))) return false;
  for (size_t k = from; k < to; ++k) {
    results[k] = one(k);
    // A failure of the store may have undone the transaction; a batch with
    // one is never committed, whatever state it left.
    if (results[k].failure == DeliveryFailure::kStore || !mapibatch::active(m_store)) {
      mapibatch::rollback(m_store);
      return false;
    }
  }
  return SUCCEEDED(mapibatch::commit(m_store, error));
}

void MailDelivery::parseFd(int fd, Parsed& parsed) {
  DeliveryResult& result = parsed.result;
  parsed.fd = fd;
  parsed.ok = false;
  initMime();
  int readFd = fd;
  int spool = -1;
  if (lseek(fd, 0, SEEK_CUR) < 0) {
    // A pipe: copy it to a temporary file first, one without a name
    // (O_TMPFILE), so that a process killed meanwhile leaves nothing behind;
    // where the file system cannot, a private name removed at once.
    const char* dir = getenv("TMPDIR");
    std::string where = dir && *dir ? dir : "/tmp";
#ifdef O_TMPFILE
    spool = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (spool < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) {
      result.failure = DeliveryFailure::kStore;  // a shortage: the server tries again
      result.hr = errno == ENOMEM ? MAPI_E_NOT_ENOUGH_MEMORY : MAPI_E_NOT_ENOUGH_RESOURCES;
      result.error = std::string("Cannot make a temporary file for the input: ") + strerror(errno);
      return;
    }
    if (spool < 0) {
      std::string tmpl = where + "/tolvane-deliver-XXXXXX";
      std::vector<char> name(tmpl.begin(), tmpl.end());
      name.push_back('\0');
      spool = mkostemp(name.data(), O_CLOEXEC);
      if (spool < 0) {
        bool shortage = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        result.failure = shortage ? DeliveryFailure::kStore : DeliveryFailure::kInput;
        result.hr = shortage ? MAPI_E_NOT_ENOUGH_RESOURCES : MAPI_E_DISK_ERROR;
        result.error = std::string("Cannot make a temporary file for the input: ") + strerror(errno);
        return;
      }
      unlink(name.data());
    }
    std::vector<char> buf(1 << 16);
    while (true) {
      ssize_t n = ::read(fd, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result.failure = DeliveryFailure::kInput;
        result.hr = MAPI_E_DISK_ERROR;
        result.error = std::string("Cannot read the input: ") + strerror(errno);
        ::close(spool);
        return;
      }
      if (n == 0) break;
      for (ssize_t off = 0; off < n;) {
        ssize_t w = ::write(spool, buf.data() + off, static_cast<size_t>(n - off));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
          result.failure = DeliveryFailure::kInput;
          result.hr = MAPI_E_DISK_ERROR;
          result.error = std::string("Cannot keep the input in a temporary file: ") + strerror(errno);
          ::close(spool);
          return;
        }
        off += w;
      }
    }
    lseek(spool, 0, SEEK_SET);
    readFd = spool;
  }
  // The stream gets its own descriptor: GMime closes it when done.
  int own = dup(readFd);
  if (spool >= 0) ::close(spool);
  if (own < 0) {
    result.failure = DeliveryFailure::kInput;
    result.hr = MAPI_E_DISK_ERROR;
    result.error = std::string("Cannot read the input: ") + strerror(errno);
    return;
  }
  GMimeStream* stream = g_mime_stream_fs_new(own);
  parseStream(stream, parsed);
  // The parsed message holds the stream as long as it needs it.
  g_object_unref(stream);
}

DeliveryResult MailDelivery::deliverFd(int fd) {
  Parsed parsed;
  parseFd(fd, parsed);
  return parsed.ok ? storeItem(parsed.item) : parsed.result;
}

}  // namespace mapimime
