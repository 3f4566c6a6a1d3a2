// CMapiMessage: file attachments of a composed message.
#include "message/mapimessage.h"

#include "platform/platform.h"
#include "support/fieldsyntax.h"
#include "support/mapierror.h"
#include "support/mapiexception.h"
#include "support/maplog.h"
#include "support/proptags.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdio>
#include <cstring>

// The texts of one of the two attachment operations, and what it logs
// before it raises.
struct CMapiMessage::AttachTexts {
  const char* openFailure;      // followed by the path
  const char* createFailure;    // followed by the error text
  const char* openProperty;     // followed by the error text
  const char* save;             // followed by the error text
  bool logPathOnFailure;        // log the path, else the exception text
  bool releaseStreamBeforeSave;
};

namespace {

const CMapiMessage::AttachTexts kAttachTexts = {
    "CMapiMessage::addAttachment:Unable to open input file ",
    "CMapiMessage::addAttchment m_lpMessage->CreateAttach failed ",
    "CMapiMessage::addAttchment, lpAttach->OpenProperty failed ",
    "CMapiMessage::addAttchment, lpAttach->SaveChanges failed ",
    true,
    false,
};

const CMapiMessage::AttachTexts kInlineTexts = {
    "CMapiMessage::addInlineAttachment Unable to open input file: ",
    "CMapiMessage::addInlineAttachment: m_lpMessage->CreateAttach failed ",
    "CMapiMessage::addInlineAttachment: lpAttach->OpenProperty failed ",
    "CMapiMessage::addInlineAttachment lpAttach->SaveChanges failed ",
    false,
    true,
};

// The size of the pieces copied from the file into the attachment.
const ULONG kCopyBufferSize = 1024;

LPSTR text(const std::string& s) { return const_cast<LPSTR>(s.c_str()); }

}  // namespace

void CMapiMessage::addAttachment(std::string attachName, std::string mimeType, std::string path) {
  attachFile(kAttachTexts, attachName, mimeType, path, nullptr);
}

void CMapiMessage::addInlineAttachment(std::string attachName, std::string mimeType, std::string path,
                                       std::string contentID) {
  attachFile(kInlineTexts, attachName, mimeType, path, &contentID);
}

void CMapiMessage::attachFile(const AttachTexts& texts, const std::string& attachName, const std::string& mimeType,
                              const std::string& path, const std::string* contentID) {
  platform::InputFile input;
  LPATTACH lpAttach = nullptr;
  LPSPropValue lpProps = nullptr;
  LPSTREAM lpStream = nullptr;
  // Releases what the operation holds; an attachment released unsaved
  // leaves nothing on the message.
  auto releaseAll = [&]() {
    if (lpStream) lpStream->Release();
    lpStream = nullptr;
    if (lpProps) MAPIFreeBuffer(lpProps);
    lpProps = nullptr;
    if (lpAttach) lpAttach->Release();
    lpAttach = nullptr;
    input.close();
  };
  auto raise = [&](const std::string& message) {
    releaseAll();
    mapiLog("%s\n", texts.logPathOnFailure ? path.c_str() : message.c_str());
    throw CMapiException(message);
  };
  // The prefix and the error text of a MAPI failure: the failing object's
  // record when it has one, else the message's.
  auto raiseMapi = [&](const char* prefix, HRESULT hr, std::string objectText) {
    std::string message = prefix;
    if (!objectText.empty()) message += objectText;
    else getLastError(hr, message);
    raise(message);
  };

  if (!input.open(path)) raise(texts.openFailure + path);
  if (!m_lpMessage) raiseMapi(texts.createFailure, 0, "");

  ULONG ulAttachNum = 0;
  HRESULT hr = m_lpMessage->CreateAttach(nullptr, 0, &ulAttachNum, &lpAttach);
  if (FAILED(hr) || !lpAttach) {
    lpAttach = nullptr;
    raiseMapi(texts.createFailure, FAILED(hr) ? hr : MAPI_E_CALL_FAILED, "");
  }

  // The values: method, names, the content id of an inline attachment, and
  // the caller's MIME type, so that the attachment leaves with the type it
  // was given (only a well-formed one: anything else, a line break above
  // all, is left out, and the type is then guessed from the name).
  const std::string type = fieldsyntax::attachmentMediaType(mimeType);
  if (type.empty() && !mimeType.empty()) mapiLog("CMapiMessage::attachFile: a MIME type that is not one was left out\n");
  ULONG cValues = contentID ? 4 : 3;
  if (!type.empty()) ++cValues;
  hr = MAPIAllocateBuffer(cValues * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&lpProps));
  if (FAILED(hr) || !lpProps) {
    lpProps = nullptr;
    raiseMapi(texts.createFailure, FAILED(hr) ? hr : MAPI_E_NOT_ENOUGH_MEMORY, "");
  }
  memset(lpProps, 0, cValues * sizeof(SPropValue));
  ULONG k = 0;
  lpProps[k].ulPropTag = PR_ATTACH_METHOD;
  lpProps[k++].Value.l = ATTACH_BY_VALUE;
  lpProps[k].ulPropTag = PR_DISPLAY_NAME_A;
  lpProps[k++].Value.lpszA = text(attachName);
  lpProps[k].ulPropTag = PR_ATTACH_LONG_FILENAME_A;
  lpProps[k++].Value.lpszA = text(attachName);
  if (contentID) {
    lpProps[k].ulPropTag = PR_ATTACH_CONTENT_ID_A;
    lpProps[k++].Value.lpszA = text(*contentID);
  }
  if (!type.empty()) {
    lpProps[k].ulPropTag = PR_ATTACH_MIME_TAG_A;
    lpProps[k++].Value.lpszA = text(type);
  }
  // Values refused (as a whole or one by one) would let the attachment leave
  // without its name, method, content id or type: the operation fails.
  LPSPropProblemArray problems = nullptr;
  hr = lpAttach->SetProps(cValues, lpProps, &problems);
  if (SUCCEEDED(hr) && problems && problems->cProblem > 0)
    hr = FAILED(problems->aProblem[0].scode) ? problems->aProblem[0].scode : MAPI_E_CALL_FAILED;
  MAPIFreeBuffer(problems);
  if (FAILED(hr)) raiseMapi(texts.createFailure, hr, mapiErrorText(lpAttach, hr));

  hr = lpAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                              reinterpret_cast<LPUNKNOWN*>(&lpStream));
  if (FAILED(hr) || !lpStream) {
    lpStream = nullptr;
    raiseMapi(texts.openProperty, FAILED(hr) ? hr : MAPI_E_CALL_FAILED, mapiErrorText(lpAttach, hr));
  }

  // Copy the file. A read error or a refused write is a failure of the
  // operation: the attachment is dropped rather than saved truncated.
  char buffer[kCopyBufferSize];
  if (!input.seekToStart()) {
    std::string system;
    platform::errorText(platform::lastError(), system);
    raise(texts.save + system);
  }
  for (;;) {
    ULONG got = 0;
    if (!input.read(buffer, kCopyBufferSize, got)) {
      std::string system;
      platform::errorText(platform::lastError(), system);
      raise(texts.save + system);
    }
    if (got == 0) break;
    hr = lpStream->Write(buffer, got, nullptr);
    if (FAILED(hr)) {
      // A stream keeps no error record: name the result.
      char code[80];
      snprintf(code, sizeof code, "the attachment data could not be written: 0x%08X", static_cast<unsigned>(hr));
      raise(texts.save + std::string(code));
    }
  }

  if (texts.releaseStreamBeforeSave) {
    lpStream->Release();
    lpStream = nullptr;
  }
  hr = lpAttach->SaveChanges(0);
  if (FAILED(hr)) raiseMapi(texts.save, hr, mapiErrorText(lpAttach, hr));
  releaseAll();
}
