// IMessage and IAttach of the message store provider.
//
// A message object works on its own MessageState (propstate.h). For a
// message in a folder, SaveChanges writes the whole state (properties,
// staged stream values, recipients, attachments and their embedded
// messages) in one store transaction. For an embedded message SaveChanges
// hands the state to its attachment object, and the attachment's
// SaveChanges hands its state to its message: nothing reaches the store
// before the message in the folder is saved.
#ifndef TOLVANE_MAPI_MESSAGE_H
#define TOLVANE_MAPI_MESSAGE_H

#include "runtime/object.h"
#include "store/propstate.h"

#include <mapidefs.h>

#include <memory>
#include <string>

namespace tmapi {

class MsgStore;
class AttachObj;

class MessageObj : public IMessage, public ObjectBase, public ErrorHolder, public PropReader {
 public:
  // A message of a folder: stored (state.id set) or new (state.id 0,
  // created in `folder` by SaveChanges). The object holds a reference to
  // the store.
  static MessageObj* inFolder(MsgStore* store, ObjectId folder, MessageState state, bool writable);
  // The message of an attachment (holds a reference to the attachment).
  static MessageObj* embedded(MsgStore* store, AttachObj* parent, MessageState state, bool writable);

  // Store-side helpers for the attachment objects and CopyTo.
  void commitAttach(std::shared_ptr<const AttachState> state);
  HRESULT recipientRows(std::vector<PropRow>& rows);  // every value of every row
  HRESULT attachmentNumbers(std::vector<ULONG>& nums);
  const std::shared_ptr<StoreDb>& db() const { return m_db; }
  MsgStore* store() const { return m_store; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  TM_REFCOUNT_METHODS

  // IMAPIProp
  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
  STDMETHODIMP SaveChanges(ULONG ulFlags) override;
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override;
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override;
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                            LPUNKNOWN* lppUnk) override;
  STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG ulUIParam,
                      LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                      LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP CopyProps(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                         LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                         LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                               ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) override;
  STDMETHODIMP GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                               LPSPropTagArray* lppPropTags) override;

  // IMessage
  STDMETHODIMP GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) override;
  STDMETHODIMP CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) override;
  STDMETHODIMP DeleteAttach(ULONG ulAttachmentNum, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) override;
  STDMETHODIMP GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHODIMP ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) override;
  STDMETHODIMP SubmitMessage(ULONG ulFlags) override;
  STDMETHODIMP SetReadFlag(ULONG ulFlags) override;

  // PropReader
  PropRow computedProps() override;
  HRESULT readOwn(ULONG tag, ULONG sizeLimit, Prop& out) override;
  HRESULT readOwnMany(const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& out) override;
  HRESULT ownTags(std::vector<ULONG>& tags) override;

 private:
  MessageObj(MsgStore* store, ObjectId folder, AttachObj* parent, MessageState state, bool writable);
  ~MessageObj() override;
  HRESULT loadRecipients();
  HRESULT storedAttachments(std::vector<std::pair<ObjectId, int64_t>>& list);
  HRESULT saveToStore();

  MsgStore* m_store;
  std::shared_ptr<StoreDb> m_db;
  ObjectId m_folder;    // folder of a message in a folder
  AttachObj* m_parent;  // attachment of an embedded message
  MessageState m_st;
  bool m_writable;
  // After a save or a submission: from now on the stored message is the one
  // this object shows, its recipients read afresh.
  void showStored(ObjectId id) {
    m_st = MessageState();
    m_st.id = id;
    m_storedRecipsRead = false;
    m_storedRecips.clear();
  }
  // The stored recipients, read once while this object has not changed
  // them: a reader asks for the recipient table once per recipient type.
  bool m_storedRecipsRead = false;
  std::vector<PropRow> m_storedRecips;
};

class AttachObj : public IAttach, public ObjectBase, public ErrorHolder, public PropReader {
 public:
  static AttachObj* make(MessageObj* message, AttachState state, bool writable);

  void commitEmbedded(std::shared_ptr<const MessageState> state);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  TM_REFCOUNT_METHODS

  STDMETHODIMP GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
  STDMETHODIMP SaveChanges(ULONG ulFlags) override;
  STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                        LPSPropValue* lppPropArray) override;
  STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override;
  STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                            LPUNKNOWN* lppUnk) override;
  STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG ulUIParam,
                      LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                      LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP CopyProps(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                         LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                         LPSPropProblemArray* lppProblems) override;
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                               ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) override;
  STDMETHODIMP GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                               LPSPropTagArray* lppPropTags) override;

  PropRow computedProps() override;
  HRESULT readOwn(ULONG tag, ULONG sizeLimit, Prop& out) override;
  HRESULT ownTags(std::vector<ULONG>& tags) override;

 private:
  AttachObj(MessageObj* message, AttachState state, bool writable);
  ~AttachObj() override;
  HRESULT hasEmbedded(bool& has, ObjectId& storedId);

  MessageObj* m_msg;
  std::shared_ptr<StoreDb> m_db;
  AttachState m_st;
  bool m_writable;
};

// Writes a message state and everything below it into the store (inside
// the caller's transaction); id receives the message's object id.
HRESULT writeMessageTree(StoreDb& db, const MessageState& st, ObjectId parent, ObjectId& id);

// The attachment table of a message (attachtable.cpp): the stored
// attachments (id, number; their values read at the table's first use,
// only for the columns set by then) and the attachments saved into the
// open message (number, every value).
HRESULT createAttachmentTable(std::shared_ptr<StoreDb> db, ObjectId message,
                              std::vector<std::pair<ObjectId, ULONG>> stored,
                              std::vector<std::pair<ULONG, PropRow>> unsaved, IMAPITable** table);

// Copies a message through the destination's public interface: values
// (minus `excluded` and the store's computed ones; large ones through
// streams in pieces), recipients, attachments and embedded messages.
// text receives the failure.
HRESULT copyMessage(MessageObj* src, IMessage* dest, const SPropTagArray* excluded, std::string& text);

// The named-property calls of every object of the store.
HRESULT namesFromIds(StoreDb& db, LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                     LPMAPINAMEID** names, std::string& text);
HRESULT idsFromNames(StoreDb& db, ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags,
                     std::string& text);

}  // namespace tmapi

#endif
