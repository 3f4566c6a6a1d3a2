// The address book: the directory, IAddrBook::OpenEntry with directory,
// distinguished-name and one-off identifiers, ResolveName, CreateOneOff,
// IMailUser, the session's OpenAddressBook and planned faults. Every test
// runs in a home folder of its own and ends by checking that it left no
// buffer unfreed and no object alive.
#include <tolvane/directory.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const ULONG PR_EMS_AB_PROXY_ADDRESSES_A = 0x800F101E;
const char kAliceDn[] = "/o=Example/ou=Exchange Administrative Group/cn=Recipients/cn=alice";
const BYTE kExchangeUid[16] = {0xDC, 0xA7, 0x40, 0xC8, 0xC0, 0x42, 0x10, 0x1A,
                               0xB4, 0xB9, 0x08, 0x00, 0x2B, 0x2F, 0xE1, 0x82};
const BYTE kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                             0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};

std::string bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// A copy of an identifier in a buffer of exactly its size, so that a read
// past its end would leave the buffer.
struct ExactId {
  explicit ExactId(const std::string& id) : size(id.size()), data(new BYTE[id.size() ? id.size() : 1]) {
    if (size) memcpy(data.get(), id.data(), size);
  }
  ULONG cb() const { return static_cast<ULONG>(size); }
  LPENTRYID get() const { return reinterpret_cast<LPENTRYID>(data.get()); }
  size_t size;
  std::unique_ptr<BYTE[]> data;
};

std::string utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  out.append(2, '\0');
  return out;
}

std::string oneOffHeader(uint16_t flags) {
  std::string id(4, '\0');
  id += bytes(kOneOffUid, 16);
  id += std::string("\0\0", 2);
  id += static_cast<char>(flags & 0xFF);
  id += static_cast<char>(flags >> 8);
  return id;
}

std::string narrowOneOff(const std::string& name, const std::string& type, const std::string& address) {
  return oneOffHeader(0) + name + '\0' + type + '\0' + address + '\0';
}

template <typename T>
std::string errorText(T* object, HRESULT hr) {
  LPMAPIERROR err = nullptr;
  if (FAILED(object->GetLastError(hr, 0, &err)) || !err) return "(no error record)";
  std::string text = err->lpszError ? reinterpret_cast<const char*>(err->lpszError) : "";
  MAPIFreeBuffer(err);
  return text;
}

class AddressBook : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    std::string tmpl = base + "/tolvane-addrbook-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    m_home = buf.data();
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapitest::reset();
    m_buffers = mapitest::liveBuffers();
    m_objects = mapitest::liveObjects();

    mapiprofile::Profile profile;
    profile.name = "abtest";
    profile.address = "owner@example.org";
    std::string error;
    ASSERT_EQ(mapiprofile::create(profile, error), S_OK) << error;
    MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};
    ASSERT_EQ(MAPIInitialize(&init), S_OK);
    m_initialized = true;
    ASSERT_EQ(MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("abtest")), nullptr,
                          MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, &m_session),
              S_OK);
    ASSERT_EQ(m_session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &m_ab), S_OK);
    ASSERT_NE(m_ab, nullptr);
  }

  void TearDown() override {
    if (m_ab) m_ab->Release();
    if (m_session) {
      m_session->Logoff(0, 0, 0);
      m_session->Release();
    }
    if (m_initialized) MAPIUninitialize();
    mapitest::reset();
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers left unfreed";
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects left alive";
    if (!m_home.empty()) {
      std::string cmd = "rm -rf '" + m_home + "'";
      (void)system(cmd.c_str());
    }
  }

  mapidirectory::Entry addEntry(const std::string& name, const std::string& smtp, const std::string& dn = "",
                                std::vector<std::string> proxies = {}) {
    mapidirectory::Entry e;
    e.displayName = name;
    e.smtpAddress = smtp;
    e.distinguishedName = dn;
    e.proxies = std::move(proxies);
    std::string error;
    HRESULT hr = mapidirectory::add(e, error);
    EXPECT_EQ(hr, S_OK) << error;
    return e;
  }

  // OpenEntry on the address book; null on failure with the result in *hr.
  LPMAILUSER open(const std::string& id, HRESULT* result = nullptr, LPCIID iid = nullptr,
                  ULONG flags = MAPI_BEST_ACCESS) {
    ExactId exact(id);
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    HRESULT hr = m_ab->OpenEntry(exact.cb(), exact.get(), iid, flags, &type, &unk);
    if (result) *result = hr;
    if (FAILED(hr)) {
      EXPECT_EQ(unk, nullptr);
      return nullptr;
    }
    EXPECT_EQ(type, static_cast<ULONG>(MAPI_MAILUSER));
    return static_cast<LPMAILUSER>(unk);
  }

  HRESULT openResult(const std::string& id) {
    HRESULT hr = S_OK;
    LPMAILUSER user = open(id, &hr);
    if (user) user->Release();
    return hr;
  }

  static std::string stringProp(LPMAPIPROP obj, ULONG tag) {
    LPSPropValue v = nullptr;
    HRESULT hr = HrGetOneProp(obj, tag, &v);
    if (FAILED(hr)) return "(error " + std::to_string(hr) + ")";
    std::string s = v->Value.lpszA;
    MAPIFreeBuffer(v);
    return s;
  }

  static HRESULT proxies(LPMAPIPROP obj, std::vector<std::string>& out) {
    out.clear();
    LPSPropValue v = nullptr;
    HRESULT hr = HrGetOneProp(obj, PR_EMS_AB_PROXY_ADDRESSES_A, &v);
    if (FAILED(hr)) return hr;
    EXPECT_EQ(v->ulPropTag, PR_EMS_AB_PROXY_ADDRESSES_A);
    for (ULONG i = 0; i < v->Value.MVszA.cValues; ++i) out.push_back(v->Value.MVszA.lppszA[i]);
    MAPIFreeBuffer(v);
    return hr;
  }

  // An address list as the composition code builds it: address type SMTP,
  // the name as display name and as address, and a recipient type.
  static LPADRLIST recipientList(const std::vector<std::string>& names) {
    LPADRLIST list = nullptr;
    EXPECT_EQ(MAPIAllocateBuffer(CbNewADRLIST(names.size()), reinterpret_cast<LPVOID*>(&list)), S_OK);
    list->cEntries = static_cast<ULONG>(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      ADRENTRY& e = list->aEntries[i];
      e.ulReserved1 = 0;
      e.cValues = 4;
      EXPECT_EQ(MAPIAllocateBuffer(4 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&e.rgPropVals)), S_OK);
      LPSTR name = nullptr;
      EXPECT_EQ(MAPIAllocateMore(static_cast<ULONG>(names[i].size() + 1), e.rgPropVals,
                                 reinterpret_cast<LPVOID*>(&name)),
                S_OK);
      memcpy(name, names[i].c_str(), names[i].size() + 1);
      e.rgPropVals[0].ulPropTag = PR_ADDRTYPE_A;
      e.rgPropVals[0].Value.lpszA = const_cast<LPSTR>("SMTP");
      e.rgPropVals[1].ulPropTag = PR_DISPLAY_NAME_A;
      e.rgPropVals[1].Value.lpszA = name;
      e.rgPropVals[2].ulPropTag = PR_EMAIL_ADDRESS_A;
      e.rgPropVals[2].Value.lpszA = name;
      e.rgPropVals[3].ulPropTag = PR_RECIPIENT_TYPE;
      e.rgPropVals[3].Value.l = i == 0 ? MAPI_TO : MAPI_CC;
    }
    return list;
  }

  static std::string entryString(const ADRENTRY& e, ULONG tag) {
    LPSPropValue v = PpropFindProp(e.rgPropVals, e.cValues, tag);
    return v ? std::string(v->Value.lpszA) : "(absent)";
  }

  std::string m_home;
  LPMAPISESSION m_session = nullptr;
  LPADRBOOK m_ab = nullptr;

 private:
  bool m_initialized = false;
  long m_buffers = 0;
  long m_objects = 0;
};

// ---------------------------------------------------------------- directory

TEST_F(AddressBook, MissingDirectoryReadsEmptyAndIsNotCreated) {
  std::vector<mapidirectory::Entry> entries;
  std::string error;
  EXPECT_EQ(mapidirectory::list(entries, error), S_OK) << error;
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(openResult(mapidirectory::entryId(1)), MAPI_E_NOT_FOUND);
  EXPECT_EQ(openResult(mapidirectory::distinguishedNameEntryId(kAliceDn)), MAPI_E_NOT_FOUND);
  mapidirectory::Entry removed;
  EXPECT_EQ(mapidirectory::remove("1", removed, error), MAPI_E_NOT_FOUND);
  struct stat st;
  EXPECT_NE(stat(mapidirectory::path().c_str(), &st), 0);
}

TEST_F(AddressBook, DirectoryIsCreatedPrivate) {
  addEntry("Alice Example", "alice@example.org");
  struct stat st;
  ASSERT_EQ(stat(mapidirectory::path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(mapidirectory::path(), m_home + "/directory.db");
}

TEST_F(AddressBook, ProxiesKeepTheirOrderAndCase) {
  auto alice = addEntry("Alice Example", "Alice@Example.org", kAliceDn,
                        {"smtp:alias@example.org", "X400:c=US;a= ;p=Example;o=Exchange;s=Alice;", "sMtP:Other@x.org"});
  std::vector<std::string> want = {"SMTP:Alice@Example.org", "smtp:alias@example.org",
                                   "X400:c=US;a= ;p=Example;o=Exchange;s=Alice;", "sMtP:Other@x.org"};
  EXPECT_EQ(mapidirectory::proxyAddresses(alice), want);

  std::vector<mapidirectory::Entry> entries;
  std::string error;
  ASSERT_EQ(mapidirectory::list(entries, error), S_OK);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].proxies, alice.proxies);
  EXPECT_EQ(entries[0].distinguishedName, kAliceDn);

  for (const std::string& id : {mapidirectory::entryId(alice.id), mapidirectory::distinguishedNameEntryId(kAliceDn)}) {
    LPMAILUSER user = open(id);
    ASSERT_NE(user, nullptr);
    std::vector<std::string> got;
    EXPECT_EQ(proxies(user, got), S_OK);
    EXPECT_EQ(got, want);
    EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), "Alice Example");
    EXPECT_EQ(stringProp(user, PR_EMAIL_ADDRESS_A), "Alice@Example.org");
    EXPECT_EQ(stringProp(user, PR_ADDRTYPE_A), "SMTP");
    LPSPropValue v = nullptr;
    ASSERT_EQ(HrGetOneProp(user, PR_ENTRYID, &v), S_OK);
    EXPECT_EQ(bytes(v->Value.bin.lpb, v->Value.bin.cb), mapidirectory::entryId(alice.id));
    MAPIFreeBuffer(v);
    ASSERT_EQ(HrGetOneProp(user, PR_OBJECT_TYPE, &v), S_OK);
    EXPECT_EQ(v->Value.l, static_cast<LONG>(MAPI_MAILUSER));
    MAPIFreeBuffer(v);
    ASSERT_EQ(HrGetOneProp(user, PR_DISPLAY_TYPE, &v), S_OK);
    EXPECT_EQ(v->Value.l, static_cast<LONG>(DT_MAILUSER));
    MAPIFreeBuffer(v);
    user->Release();
  }
}

TEST_F(AddressBook, EntryWithoutAddressesHasNoProxies) {
  auto e = addEntry("Meeting Room", "");
  LPMAILUSER user = open(mapidirectory::entryId(e.id));
  ASSERT_NE(user, nullptr);
  std::vector<std::string> got;
  EXPECT_EQ(proxies(user, got), MAPI_E_NOT_FOUND);
  EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), "Meeting Room");
  user->Release();

  // Further proxies alone, without a primary address.
  auto x = addEntry("Legacy", "", "", {"X400:c=US;s=Legacy;"});
  user = open(mapidirectory::entryId(x.id));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(proxies(user, got), S_OK);
  EXPECT_EQ(got, std::vector<std::string>{"X400:c=US;s=Legacy;"});
  user->Release();
}

TEST_F(AddressBook, DirectoryRefusesBadEntriesAndDuplicates) {
  addEntry("Alice Example", "alice@example.org", kAliceDn);
  std::string error;
  mapidirectory::Entry e;
  e.displayName = "";
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_INVALID_PARAMETER);
  EXPECT_NE(error.find("display name"), std::string::npos) << error;
  e.displayName = "X";
  for (const char* bad : {"no-at-sign", "@example.org", "alice@", "a b@example.org", "<a@b.org>"}) {
    e.smtpAddress = bad;
    EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_INVALID_PARAMETER) << bad;
  }
  e.smtpAddress = "";
  e.distinguishedName = "o=Example";
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_INVALID_PARAMETER);
  e.distinguishedName = "";
  e.proxies = {"nocolon"};
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_INVALID_PARAMETER);
  e.proxies = {"SMTP:"};
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_INVALID_PARAMETER);
  e.proxies = {"X400:line\nbreak"};
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_INVALID_PARAMETER);
  e.proxies.clear();

  e.smtpAddress = "ALICE@example.ORG";
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_COLLISION);
  EXPECT_NE(error.find("belongs to directory entry 1"), std::string::npos) << error;
  e.smtpAddress = "";
  e.distinguishedName = "/O=EXAMPLE/ou=Exchange Administrative Group/cn=Recipients/CN=ALICE";
  EXPECT_EQ(mapidirectory::add(e, error), MAPI_E_COLLISION);

  std::vector<mapidirectory::Entry> entries;
  ASSERT_EQ(mapidirectory::list(entries, error), S_OK);
  EXPECT_EQ(entries.size(), 1u);
}

TEST_F(AddressBook, RemoveByIdOrSmtpAndIdsAreNotReused) {
  auto a = addEntry("Alice", "alice@example.org");
  auto b = addEntry("Bob", "bob@example.org", "", {"smtp:robert@example.org"});
  std::string error;
  mapidirectory::Entry removed;
  EXPECT_EQ(mapidirectory::remove("BOB@example.org", removed, error), S_OK) << error;
  EXPECT_EQ(removed.id, b.id);
  EXPECT_EQ(removed.proxies, b.proxies);
  EXPECT_EQ(mapidirectory::remove(std::to_string(a.id), removed, error), S_OK) << error;
  EXPECT_EQ(removed.displayName, "Alice");
  EXPECT_EQ(mapidirectory::remove(std::to_string(a.id), removed, error), MAPI_E_NOT_FOUND);
  EXPECT_EQ(mapidirectory::remove("nobody@example.org", removed, error), MAPI_E_NOT_FOUND);
  EXPECT_EQ(openResult(mapidirectory::entryId(b.id)), MAPI_E_NOT_FOUND);
  auto c = addEntry("Carol", "carol@example.org");
  EXPECT_GT(c.id, b.id);
}

// ---------------------------------------------------------------- distinguished names

TEST_F(AddressBook, DistinguishedNameIdsAreThirtyBytesLonger) {
  for (size_t len : {1u, 2u, 7u, 64u, 255u, 1000u}) {
    std::string dn = "/" + std::string(len - 1, 'x');
    std::string id = mapidirectory::distinguishedNameEntryId(dn);
    ASSERT_EQ(id.size(), dn.size() + 30) << len;
    EXPECT_EQ(id.substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(id.substr(4, 16), bytes(kExchangeUid, 16));
    EXPECT_EQ(id.substr(20, 4), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(id.substr(24, 4), std::string(4, '\0'));
    EXPECT_EQ(id.substr(28, dn.size()), dn);
    EXPECT_EQ(id.substr(28 + dn.size()), std::string(2, '\0'));
  }
  // Entries with names of several lengths open through their identifiers.
  for (size_t len : {2u, 40u, 900u}) {
    std::string dn = "/o=Example/cn=" + std::string(len, 'k');
    auto e = addEntry("Entry " + std::to_string(len), "k" + std::to_string(len) + "@example.org", dn);
    LPMAILUSER user = open(mapidirectory::distinguishedNameEntryId(dn), nullptr, &IID_IMailUser);
    ASSERT_NE(user, nullptr) << len;
    EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), e.displayName);
    user->Release();
  }
}

TEST_F(AddressBook, DistinguishedNamesMatchCaseBlind) {
  addEntry("Alice Example", "alice@example.org", kAliceDn);
  std::string upper = kAliceDn;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  LPMAILUSER user = open(mapidirectory::distinguishedNameEntryId(upper), nullptr, &IID_IMailUser);
  ASSERT_NE(user, nullptr);
  std::vector<std::string> got;
  EXPECT_EQ(proxies(user, got), S_OK);
  EXPECT_EQ(got, std::vector<std::string>{"SMTP:alice@example.org"});
  user->Release();

  // An identifier without the extra byte after the terminator opens too.
  std::string id = mapidirectory::distinguishedNameEntryId(kAliceDn);
  id.pop_back();
  EXPECT_EQ(openResult(id), S_OK);

  EXPECT_EQ(openResult(mapidirectory::distinguishedNameEntryId("/o=Example/cn=nobody")), MAPI_E_NOT_FOUND);
}

TEST_F(AddressBook, MalformedDistinguishedNameIdsAreRefused) {
  addEntry("Alice Example", "alice@example.org", kAliceDn);
  std::string good = mapidirectory::distinguishedNameEntryId(kAliceDn);
  // Cut before the terminator, at every length from the header on.
  for (size_t cut = 20; cut < good.size() - 2; ++cut) {
    HRESULT hr = openResult(good.substr(0, cut));
    EXPECT_EQ(hr, MAPI_E_INVALID_ENTRYID) << cut;
  }
  for (size_t cut = 0; cut < 20; ++cut) EXPECT_TRUE(FAILED(openResult(good.substr(0, cut)))) << cut;

  std::string bad = good;
  bad[20] = 2;  // version
  EXPECT_EQ(openResult(bad), MAPI_E_INVALID_ENTRYID);
  bad = good;
  bad[0] = 1;  // flags
  EXPECT_EQ(openResult(bad), MAPI_E_INVALID_ENTRYID);
  bad = good;
  bad.back() = 'x';  // something after the terminator
  EXPECT_EQ(openResult(bad), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(good.substr(0, 28) + std::string(1, '\0')), MAPI_E_INVALID_ENTRYID);  // empty name

  HRESULT hr = S_OK;
  LPMAILUSER user = open(good.substr(0, 40), &hr);
  EXPECT_EQ(user, nullptr);
  EXPECT_NE(errorText(m_ab, hr).find("malformed"), std::string::npos) << errorText(m_ab, hr);
}

// ---------------------------------------------------------------- directory identifiers

TEST_F(AddressBook, MalformedDirectoryIdsAreRefused) {
  auto e = addEntry("Alice Example", "alice@example.org");
  std::string good = mapidirectory::entryId(e.id);
  EXPECT_EQ(openResult(good), S_OK);
  for (size_t cut = 20; cut < good.size(); ++cut) EXPECT_EQ(openResult(good.substr(0, cut)), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(good + std::string(1, '\0')), MAPI_E_INVALID_ENTRYID);
  std::string bad = good;
  bad[20] = 9;
  EXPECT_EQ(openResult(bad), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(mapidirectory::entryId(0)), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(mapidirectory::entryId(e.id + 1)), MAPI_E_NOT_FOUND);
  // A provider nobody knows.
  bad = good;
  bad[4] ^= 0xFF;
  EXPECT_EQ(openResult(bad), MAPI_E_UNKNOWN_ENTRYID);

  ULONG type = 0;
  LPUNKNOWN unk = nullptr;
  EXPECT_EQ(m_ab->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), MAPI_E_NO_SUPPORT);
  ExactId exact(good);
  EXPECT_EQ(m_ab->OpenEntry(exact.cb(), exact.get(), &IID_IMessage, 0, &type, &unk), MAPI_E_INTERFACE_NOT_SUPPORTED);
  EXPECT_EQ(m_ab->OpenEntry(exact.cb(), exact.get(), nullptr, MAPI_MODIFY, &type, &unk), MAPI_E_NO_ACCESS);
  EXPECT_EQ(unk, nullptr);
}

// ---------------------------------------------------------------- one-offs

TEST_F(AddressBook, CreateOneOffRoundTrip) {
  ULONG cb = 0;
  LPENTRYID id = nullptr;
  ASSERT_EQ(m_ab->CreateOneOff(reinterpret_cast<LPTSTR>(const_cast<char*>("Carol Reply")),
                               reinterpret_cast<LPTSTR>(const_cast<char*>("SMTP")),
                               reinterpret_cast<LPTSTR>(const_cast<char*>("carol@example.net")),
                               MAPI_SEND_NO_RICH_INFO, &cb, &id),
            S_OK);
  std::string raw = bytes(id, cb);
  MAPIFreeBuffer(id);
  uint16_t noRichInfo = MAPI_ONE_OFF_NO_RICH_INFO;
  EXPECT_EQ(raw, oneOffHeader(noRichInfo) + std::string("Carol Reply\0SMTP\0carol@example.net\0", 35));

  LPMAILUSER user = open(raw, nullptr, &IID_IMailUser);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), "Carol Reply");
  EXPECT_EQ(stringProp(user, PR_ADDRTYPE_A), "SMTP");
  EXPECT_EQ(stringProp(user, PR_EMAIL_ADDRESS_A), "carol@example.net");
  std::vector<std::string> got;
  EXPECT_EQ(proxies(user, got), S_OK);
  EXPECT_EQ(got, std::vector<std::string>{"SMTP:carol@example.net"});
  LPSPropValue v = nullptr;
  ASSERT_EQ(HrGetOneProp(user, PR_SEND_RICH_INFO, &v), S_OK);
  EXPECT_FALSE(v->Value.b);
  MAPIFreeBuffer(v);
  ASSERT_EQ(HrGetOneProp(user, PR_ENTRYID, &v), S_OK);
  EXPECT_EQ(bytes(v->Value.bin.lpb, v->Value.bin.cb), raw);
  MAPIFreeBuffer(v);
  user->Release();

  // Without MAPI_SEND_NO_RICH_INFO, and with an empty display name.
  ASSERT_EQ(m_ab->CreateOneOff(nullptr, reinterpret_cast<LPTSTR>(const_cast<char*>("SMTP")),
                               reinterpret_cast<LPTSTR>(const_cast<char*>("d@example.net")), 0, &cb, &id),
            S_OK);
  raw = bytes(id, cb);
  MAPIFreeBuffer(id);
  EXPECT_EQ(raw, oneOffHeader(0) + std::string("\0SMTP\0d@example.net\0", 20));
  EXPECT_EQ(openResult(raw), S_OK);

  // Unicode strings are written as UTF-16LE.
  const wchar_t* wname = L"J\u00fcrgen";
  ASSERT_EQ(m_ab->CreateOneOff(reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(wname)),
                               reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"SMTP")),
                               reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"j@example.de")), MAPI_UNICODE, &cb, &id),
            S_OK);
  raw = bytes(id, cb);
  MAPIFreeBuffer(id);
  EXPECT_EQ(raw, oneOffHeader(MAPI_ONE_OFF_UNICODE) + utf16le(u"J\u00fcrgen") + utf16le(u"SMTP") +
                     utf16le(u"j@example.de"));
  user = open(raw);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), "J\xC3\xBCrgen");
  EXPECT_EQ(stringProp(user, PR_EMAIL_ADDRESS_A), "j@example.de");
  user->Release();

  EXPECT_EQ(m_ab->CreateOneOff(nullptr, reinterpret_cast<LPTSTR>(const_cast<char*>("SMTP")), nullptr, 0, &cb, &id),
            MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(m_ab->CreateOneOff(nullptr, reinterpret_cast<LPTSTR>(const_cast<char*>("SMTP")),
                               reinterpret_cast<LPTSTR>(const_cast<char*>("x@y.z")), 0x4, &cb, &id),
            MAPI_E_UNKNOWN_FLAGS);
  EXPECT_EQ(id, nullptr);
}

TEST_F(AddressBook, OneOffOfOtherTypesHasNoProxies) {
  std::string x400 = narrowOneOff("Old System", "X400", "c=US;a= ;p=Example;s=Old;");
  LPMAILUSER user = open(x400);
  ASSERT_NE(user, nullptr);
  std::vector<std::string> got;
  EXPECT_EQ(proxies(user, got), MAPI_E_NOT_FOUND);
  EXPECT_EQ(stringProp(user, PR_ADDRTYPE_A), "X400");
  user->Release();

  // The address type is compared case-blind; the proxy keeps the address as given.
  user = open(narrowOneOff("", "smtp", "Mixed@Example.org"));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(proxies(user, got), S_OK);
  EXPECT_EQ(got, std::vector<std::string>{"SMTP:Mixed@Example.org"});
  user->Release();
}

TEST_F(AddressBook, UnicodeOneOffsOpen) {
  std::string id = oneOffHeader(MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO | 0x1000) +
                   utf16le(u"Zo\u00eb \U0001D11E") + utf16le(u"SMTP") + utf16le(u"zoe@example.org");
  LPMAILUSER user = open(id);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), "Zo\xC3\xAB \xF0\x9D\x84\x9E");
  std::vector<std::string> got;
  EXPECT_EQ(proxies(user, got), S_OK);
  EXPECT_EQ(got, std::vector<std::string>{"SMTP:zoe@example.org"});

  // Read as Unicode through GetProps with MAPI_UNICODE.
  SizedSPropTagArray(1, tags) = {1, {PR_DISPLAY_NAME_W}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(user->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &values), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(values[0].ulPropTag, PR_DISPLAY_NAME_W);
  EXPECT_EQ(std::wstring(values[0].Value.lpszW), std::wstring(L"Zo\u00eb \U0001D11E"));
  MAPIFreeBuffer(values);
  user->Release();
}

TEST_F(AddressBook, MalformedOneOffIdsAreRefused) {
  std::string narrow = narrowOneOff("Carol", "SMTP", "carol@example.net");
  ASSERT_EQ(openResult(narrow), S_OK);
  for (size_t cut = 20; cut < narrow.size(); ++cut) EXPECT_EQ(openResult(narrow.substr(0, cut)), MAPI_E_INVALID_ENTRYID) << cut;

  std::string wide = oneOffHeader(MAPI_ONE_OFF_UNICODE) + utf16le(u"Carol") + utf16le(u"SMTP") + utf16le(u"c@x.org");
  ASSERT_EQ(openResult(wide), S_OK);
  for (size_t cut = 20; cut < wide.size(); ++cut) EXPECT_EQ(openResult(wide.substr(0, cut)), MAPI_E_INVALID_ENTRYID) << cut;

  // Narrow strings read as Unicode run out before their terminators.
  std::string flipped = narrow;
  flipped[23] = static_cast<char>(0x80);
  EXPECT_EQ(openResult(flipped), MAPI_E_INVALID_ENTRYID);
  std::string bad = narrow;
  bad[20] = 1;  // version
  EXPECT_EQ(openResult(bad), MAPI_E_INVALID_ENTRYID);
  bad = narrow;
  bad[2] = 1;  // flags
  EXPECT_EQ(openResult(bad), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(narrowOneOff("Carol", "", "carol@example.net")), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(narrowOneOff("Carol", "SMTP", "")), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(openResult(narrow + "junk"), MAPI_E_INVALID_ENTRYID);
}

// ---------------------------------------------------------------- CompareEntryIDs

TEST_F(AddressBook, CompareEntryIdsByEntry) {
  auto a = addEntry("Alice Example", "alice@example.org", kAliceDn);
  auto b = addEntry("Bob", "bob@example.org");
  ExactId byId(mapidirectory::entryId(a.id));
  ExactId byDn(mapidirectory::distinguishedNameEntryId("/O=EXAMPLE/ou=Exchange Administrative Group/cn=Recipients/cn=alice"));
  ExactId other(mapidirectory::entryId(b.id));
  ExactId one1(narrowOneOff("A", "SMTP", "x@example.org"));
  ExactId one2(narrowOneOff("B", "smtp", "X@EXAMPLE.ORG"));
  ULONG same = 7;
  EXPECT_EQ(m_ab->CompareEntryIDs(byId.cb(), byId.get(), byDn.cb(), byDn.get(), 0, &same), S_OK);
  EXPECT_EQ(same, static_cast<ULONG>(TRUE));
  EXPECT_EQ(m_ab->CompareEntryIDs(byId.cb(), byId.get(), other.cb(), other.get(), 0, &same), S_OK);
  EXPECT_EQ(same, static_cast<ULONG>(FALSE));
  EXPECT_EQ(m_ab->CompareEntryIDs(one1.cb(), one1.get(), one2.cb(), one2.get(), 0, &same), S_OK);
  EXPECT_EQ(same, static_cast<ULONG>(TRUE));
  ExactId cut(mapidirectory::entryId(a.id).substr(0, 30));
  EXPECT_EQ(m_ab->CompareEntryIDs(byId.cb(), byId.get(), cut.cb(), cut.get(), 0, &same), MAPI_E_INVALID_ENTRYID);
}

// ---------------------------------------------------------------- ResolveName

TEST_F(AddressBook, ResolveNameSingleMatch) {
  addEntry("Alice Example", "alice@example.org", kAliceDn, {"smtp:alias@example.org"});
  addEntry("Bob Builder", "bob@example.org");
  for (const char* name : {"Alice Example", "alice example", "ALICE@example.org", "alias@example.org",
                           "smtp:alias@example.org", "Ali", "ce Exam"}) {
    LPADRLIST list = recipientList({name});
    ASSERT_EQ(m_ab->ResolveName(0, 0, nullptr, list), S_OK) << name << ": " << errorText(m_ab, MAPI_E_NOT_FOUND);
    const ADRENTRY& e = list->aEntries[0];
    EXPECT_EQ(entryString(e, PR_DISPLAY_NAME_A), "Alice Example") << name;
    EXPECT_EQ(entryString(e, PR_EMAIL_ADDRESS_A), "alice@example.org");
    EXPECT_EQ(entryString(e, PR_ADDRTYPE_A), "SMTP");
    LPSPropValue v = PpropFindProp(e.rgPropVals, e.cValues, PR_RECIPIENT_TYPE);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Value.l, MAPI_TO);
    v = PpropFindProp(e.rgPropVals, e.cValues, PR_OBJECT_TYPE);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Value.l, static_cast<LONG>(MAPI_MAILUSER));
    v = PpropFindProp(e.rgPropVals, e.cValues, PR_DISPLAY_TYPE);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Value.l, static_cast<LONG>(DT_MAILUSER));
    v = PpropFindProp(e.rgPropVals, e.cValues, PR_ENTRYID);
    ASSERT_NE(v, nullptr);
    LPMAILUSER user = open(bytes(v->Value.bin.lpb, v->Value.bin.cb));
    ASSERT_NE(user, nullptr);
    std::vector<std::string> got;
    EXPECT_EQ(proxies(user, got), S_OK);
    EXPECT_EQ(got.at(0), "SMTP:alice@example.org");
    user->Release();
    // No value appears twice.
    for (ULONG i = 0; i < e.cValues; ++i)
      for (ULONG j = i + 1; j < e.cValues; ++j) EXPECT_NE(PROP_ID(e.rgPropVals[i].ulPropTag), PROP_ID(e.rgPropVals[j].ulPropTag));
    FreePadrlist(list);
  }
}

TEST_F(AddressBook, ResolveNameAmbiguous) {
  addEntry("Bob Smith", "bob.smith@example.org");
  addEntry("Bob Jones", "bob.jones@example.org");
  LPADRLIST list = recipientList({"bob"});
  HRESULT hr = m_ab->ResolveName(0, 0, nullptr, list);
  EXPECT_EQ(hr, MAPI_E_AMBIGUOUS_RECIP);
  EXPECT_NE(errorText(m_ab, hr).find("'bob'"), std::string::npos) << errorText(m_ab, hr);
  EXPECT_EQ(list->aEntries[0].cValues, 4u);
  EXPECT_EQ(entryString(list->aEntries[0], PR_EMAIL_ADDRESS_A), "bob");
  FreePadrlist(list);

  // An exact match wins over prefix matches.
  addEntry("Bob", "bob@example.org");
  list = recipientList({"BOB"});
  EXPECT_EQ(m_ab->ResolveName(0, 0, nullptr, list), S_OK);
  EXPECT_EQ(entryString(list->aEntries[0], PR_EMAIL_ADDRESS_A), "bob@example.org");
  FreePadrlist(list);

  // A word of the display name: "jon" begins only "Bob Jones".
  list = recipientList({"jon"});
  EXPECT_EQ(m_ab->ResolveName(0, 0, nullptr, list), S_OK);
  EXPECT_EQ(entryString(list->aEntries[0], PR_DISPLAY_NAME_A), "Bob Jones");
  FreePadrlist(list);
}

TEST_F(AddressBook, ResolveNameUnresolved) {
  addEntry("Alice Example", "alice@example.org");
  LPADRLIST list = recipientList({"Alice", "nobody"});
  HRESULT hr = m_ab->ResolveName(0, 0, nullptr, list);
  EXPECT_EQ(hr, MAPI_E_NOT_FOUND);
  EXPECT_NE(errorText(m_ab, hr).find("'nobody'"), std::string::npos) << errorText(m_ab, hr);
  // The entry that did resolve was rewritten; the other is as built.
  EXPECT_EQ(entryString(list->aEntries[0], PR_EMAIL_ADDRESS_A), "alice@example.org");
  EXPECT_EQ(list->aEntries[1].cValues, 4u);
  EXPECT_EQ(entryString(list->aEntries[1], PR_EMAIL_ADDRESS_A), "nobody");
  LPSPropValue v = PpropFindProp(list->aEntries[1].rgPropVals, list->aEntries[1].cValues, PR_RECIPIENT_TYPE);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->Value.l, MAPI_CC);
  FreePadrlist(list);

  // An empty directory resolves nothing.
  mapidirectory::Entry removed;
  std::string error;
  ASSERT_EQ(mapidirectory::remove("alice@example.org", removed, error), S_OK);
  list = recipientList({"Alice"});
  EXPECT_EQ(m_ab->ResolveName(0, 0, nullptr, list), MAPI_E_NOT_FOUND);
  FreePadrlist(list);
}

TEST_F(AddressBook, ResolveNameSmtpLiteralGivesOneOff) {
  addEntry("Dave Long", "dave@example.net.uk");
  LPADRLIST list = recipientList({"dave@example.net"});
  ASSERT_EQ(m_ab->ResolveName(0, 0, nullptr, list), S_OK) << errorText(m_ab, MAPI_E_NOT_FOUND);
  const ADRENTRY& e = list->aEntries[0];
  EXPECT_EQ(entryString(e, PR_DISPLAY_NAME_A), "dave@example.net");
  EXPECT_EQ(entryString(e, PR_EMAIL_ADDRESS_A), "dave@example.net");
  EXPECT_EQ(entryString(e, PR_ADDRTYPE_A), "SMTP");
  LPSPropValue v = PpropFindProp(e.rgPropVals, e.cValues, PR_ENTRYID);
  ASSERT_NE(v, nullptr);
  std::string id = bytes(v->Value.bin.lpb, v->Value.bin.cb);
  EXPECT_EQ(id.substr(4, 16), bytes(kOneOffUid, 16));
  LPMAILUSER user = open(id);
  ASSERT_NE(user, nullptr);
  std::vector<std::string> got;
  EXPECT_EQ(proxies(user, got), S_OK);
  EXPECT_EQ(got, std::vector<std::string>{"SMTP:dave@example.net"});
  user->Release();
  FreePadrlist(list);

  // The address of a directory entry resolves to that entry.
  list = recipientList({"DAVE@example.net.uk"});
  ASSERT_EQ(m_ab->ResolveName(0, 0, nullptr, list), S_OK);
  EXPECT_EQ(entryString(list->aEntries[0], PR_DISPLAY_NAME_A), "Dave Long");
  FreePadrlist(list);
}

TEST_F(AddressBook, ResolveNameSkipsResolvedEntriesAndChecksItsArguments) {
  addEntry("Alice Example", "alice@example.org");
  LPADRLIST list = recipientList({"nobody"});
  // An entry with PR_ENTRYID is resolved already: replace the address type by one.
  ADRENTRY& e = list->aEntries[0];
  e.rgPropVals[0].ulPropTag = PR_ENTRYID;
  e.rgPropVals[0].Value.bin.cb = 0;
  e.rgPropVals[0].Value.bin.lpb = nullptr;
  EXPECT_EQ(m_ab->ResolveName(0, 0, nullptr, list), S_OK);
  EXPECT_EQ(entryString(e, PR_EMAIL_ADDRESS_A), "nobody");
  FreePadrlist(list);
  EXPECT_EQ(m_ab->ResolveName(0, 0, nullptr, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST_F(AddressBook, ResolveNameUnicode) {
  addEntry("Alice Example", "alice@example.org");
  LPADRLIST list = recipientList({"alice"});
  ASSERT_EQ(m_ab->ResolveName(0, MAPI_UNICODE, nullptr, list), S_OK);
  LPSPropValue v = PpropFindProp(list->aEntries[0].rgPropVals, list->aEntries[0].cValues, PR_DISPLAY_NAME_W);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::wstring(v->Value.lpszW), L"Alice Example");
  EXPECT_EQ(PpropFindProp(list->aEntries[0].rgPropVals, list->aEntries[0].cValues, PR_DISPLAY_NAME_A), nullptr);
  FreePadrlist(list);
}

// ---------------------------------------------------------------- IMailUser

TEST_F(AddressBook, MailUsersAreReadOnly) {
  auto a = addEntry("Alice Example", "alice@example.org");
  LPMAILUSER user = open(mapidirectory::entryId(a.id));
  ASSERT_NE(user, nullptr);
  SPropValue v;
  v.ulPropTag = PR_DISPLAY_NAME_A;
  v.Value.lpszA = const_cast<LPSTR>("Mallory");
  EXPECT_EQ(user->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
  EXPECT_NE(errorText(user, MAPI_E_NO_ACCESS).find("read-only"), std::string::npos);
  EXPECT_EQ(user->SaveChanges(0), MAPI_E_NO_ACCESS);
  EXPECT_EQ(stringProp(user, PR_DISPLAY_NAME_A), "Alice Example");

  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(user->GetPropList(0, &tags), S_OK);
  bool haveProxies = false;
  for (ULONG i = 0; i < tags->cValues; ++i) haveProxies |= tags->aulPropTag[i] == PR_EMS_AB_PROXY_ADDRESSES_A;
  EXPECT_TRUE(haveProxies);
  MAPIFreeBuffer(tags);

  // Two values, one missing: a PT_ERROR value and a warning.
  SizedSPropTagArray(2, two) = {2, {PR_DISPLAY_NAME_A, PR_SUBJECT_A}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  EXPECT_EQ(user->GetProps(reinterpret_cast<LPSPropTagArray>(&two), 0, &count, &values), MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(PROP_TYPE(values[1].ulPropTag), static_cast<ULONG>(PT_ERROR));
  EXPECT_EQ(values[1].Value.err, MAPI_E_NOT_FOUND);
  MAPIFreeBuffer(values);

  LPUNKNOWN unk = nullptr;
  EXPECT_EQ(user->OpenProperty(PR_SUBJECT_A, &IID_IStream, 0, 0, &unk), MAPI_E_NOT_FOUND);
  LPMAILUSER again = nullptr;
  EXPECT_EQ(user->QueryInterface(IID_IMailUser, reinterpret_cast<void**>(&again)), S_OK);
  again->Release();
  user->Release();
}

// ---------------------------------------------------------------- session and faults

TEST_F(AddressBook, SessionOpensTheAddressBook) {
  mapitest::startJournal();
  LPADRBOOK ab = nullptr;
  ASSERT_EQ(m_session->OpenAddressBook(0, &IID_IAddrBook, AB_NO_DIALOG, &ab), S_OK);
  EXPECT_EQ(mapitest::journalCount("IMAPISession::OpenAddressBook"), 1u);
  auto lines = mapitest::journal();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "IMAPISession::OpenAddressBook flags=0x00000001");
  LPMAPIPROP prop = nullptr;
  EXPECT_EQ(ab->QueryInterface(IID_IMAPIProp, reinterpret_cast<void**>(&prop)), S_OK);
  prop->Release();
  LPSPropValue v = nullptr;
  ASSERT_EQ(HrGetOneProp(ab, PR_OBJECT_TYPE, &v), S_OK);
  EXPECT_EQ(v->Value.l, static_cast<LONG>(MAPI_ADDRBOOK));
  MAPIFreeBuffer(v);
  ab->Release();

  EXPECT_EQ(m_session->OpenAddressBook(0, &IID_IMessage, AB_NO_DIALOG, &ab), MAPI_E_INTERFACE_NOT_SUPPORTED);
  EXPECT_EQ(ab, nullptr);
  EXPECT_EQ(m_session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST_F(AddressBook, PlannedFaultsSurfaceWithTheirTexts) {
  auto a = addEntry("Alice Example", "alice@example.org", kAliceDn);

  mapitest::addFault("IMAPISession::OpenAddressBook", 1, MAPI_E_NOT_ENOUGH_MEMORY);
  LPADRBOOK ab = nullptr;
  HRESULT hr = m_session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &ab);
  EXPECT_EQ(hr, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ab, nullptr);
  EXPECT_EQ(errorText(m_session, hr), "IMAPISession::OpenAddressBook failed: injected fault 0x8007000E");
  ASSERT_EQ(m_session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &ab), S_OK);  // the fault fired once
  ab->Release();

  mapitest::addFault("IAddrBook::OpenEntry", 2, MAPI_E_NO_ACCESS);
  EXPECT_EQ(openResult(mapidirectory::entryId(a.id)), S_OK);
  hr = openResult(mapidirectory::distinguishedNameEntryId(kAliceDn));
  EXPECT_EQ(hr, MAPI_E_NO_ACCESS);
  EXPECT_EQ(errorText(m_ab, hr), "IAddrBook::OpenEntry failed: injected fault 0x80070005");
  EXPECT_EQ(openResult(mapidirectory::distinguishedNameEntryId(kAliceDn)), S_OK);

  mapitest::addFault("IAddrBook::ResolveName", 1, MAPI_E_CALL_FAILED);
  LPADRLIST list = recipientList({"alice"});
  hr = m_ab->ResolveName(0, 0, nullptr, list);
  EXPECT_EQ(hr, MAPI_E_CALL_FAILED);
  EXPECT_EQ(errorText(m_ab, hr), "IAddrBook::ResolveName failed: injected fault 0x80004005");
  EXPECT_EQ(entryString(list->aEntries[0], PR_EMAIL_ADDRESS_A), "alice");
  FreePadrlist(list);

  // An allocation failing inside ResolveName leaves the entry as it was.
  list = recipientList({"alice"});
  mapitest::addFault("MAPIAllocateBuffer", 1, MAPI_E_NOT_ENOUGH_MEMORY);
  hr = m_ab->ResolveName(0, 0, nullptr, list);
  EXPECT_EQ(hr, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(list->aEntries[0].cValues, 4u);
  EXPECT_EQ(entryString(list->aEntries[0], PR_EMAIL_ADDRESS_A), "alice");
  FreePadrlist(list);

  // The journal shows the address-book calls with their key arguments.
  mapitest::clearFaults();
  mapitest::startJournal();
  mapitest::clearJournal();
  EXPECT_EQ(openResult(mapidirectory::entryId(a.id)), S_OK);
  auto lines = mapitest::journal();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "IAddrBook::OpenEntry cb=36 flags=0x00000010");
}

TEST_F(AddressBook, UnreadableDirectoryFailsWithItsText) {
  addEntry("Alice Example", "alice@example.org");
  // Replace the directory by something that is not a database.
  std::string file = mapidirectory::path();
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("this is not a database, just some text that is long enough to have a header\n", f);
  fclose(f);
  LPADRLIST list = recipientList({"alice"});
  HRESULT hr = m_ab->ResolveName(0, 0, nullptr, list);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(errorText(m_ab, hr).find("directory"), std::string::npos) << errorText(m_ab, hr);
  FreePadrlist(list);
  hr = openResult(mapidirectory::entryId(1));
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(hr, MAPI_E_NOT_FOUND);
}

}  // namespace
