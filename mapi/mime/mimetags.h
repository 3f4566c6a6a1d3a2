// Property tags and the property set used by the MIME conversion that the
// SDK's mapitags.h of this era does not carry (their values are published
// in MS-OXPROPS).
#ifndef TOLVANE_MIME_MIMETAGS_H
#define TOLVANE_MIME_MIMETAGS_H

#include <mapidefs.h>
#include <mapitags.h>

namespace mapimime {

const ULONG kPrInternetMessageId = PROP_TAG(PT_UNICODE, 0x1035);
const ULONG kPrInReplyToId = PROP_TAG(PT_UNICODE, 0x1042);
const ULONG kPrInternetReferences = PROP_TAG(PT_UNICODE, 0x1039);
const ULONG kPrBodyHtml = PROP_TAG(PT_UNICODE, 0x1013);
const ULONG kPrInternetCpid = PROP_TAG(PT_LONG, 0x3FDE);
const ULONG kPrMessageCodepage = PROP_TAG(PT_LONG, 0x3FFD);
const ULONG kPrAttachContentId = PROP_TAG(PT_UNICODE, 0x3712);
const ULONG kPrAttachContentLocation = PROP_TAG(PT_UNICODE, 0x3713);
const ULONG kPrAttachFlags = PROP_TAG(PT_LONG, 0x3714);
const ULONG kPrAttachmentHidden = PROP_TAG(PT_BOOLEAN, 0x7FFE);
const ULONG kPrTextAttachmentCharset = PROP_TAG(PT_UNICODE, 0x371B);
const ULONG kPrSmtpAddress = PROP_TAG(PT_UNICODE, 0x39FE);
const ULONG kPrSenderSmtpAddress = PROP_TAG(PT_UNICODE, 0x5D01);
const ULONG kPrSentRepresentingSmtpAddress = PROP_TAG(PT_UNICODE, 0x5D02);
const ULONG kPrNdrStatusCode = PROP_TAG(PT_LONG, 0x0C20);

// ATT_MHTML_REF: the attachment is referred to by the HTML body.
const LONG kAttMhtmlRef = 0x00000004;

// PS_INTERNET_HEADERS {00020386-0000-0000-C000-000000000046}.
extern const GUID kPsInternetHeaders;

// The code page of the text this conversion writes (UTF-8), and that of a
// body whose charset is not named (US-ASCII).
const LONG kCpUtf8 = 65001;
const LONG kCpUsAscii = 20127;

// A message signed as a whole (multipart/signed), kept as one attachment
// that holds the signed entity as it arrived, under this name.
extern const char* const kSignedMessageClass;  // "IPM.Note.SMIME.MultipartSigned"
extern const char* const kSignedEntityName;    // "smime.p7m"

}  // namespace mapimime

#endif
