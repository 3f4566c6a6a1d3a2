// Helpers of the MIME tests: sample messages and lookups in a MailItem.
#ifndef TOLVANE_TESTS_MIME_TESTUTIL_H
#define TOLVANE_TESTS_MIME_TESTUTIL_H

#include "mailitem.h"

#include <string>

namespace mimetest {

std::string readFile(const std::string& path);
// A file of examples/mail.
std::string example(const std::string& name);

// The value of a property of the item (text or binary), "" when absent.
std::string text(const mapimime::MailProps& props, ULONG tag);
bool has(const mapimime::MailProps& props, ULONG tag);
LONG longValue(const mapimime::MailProps& props, ULONG tag);
// Seconds since 1970 of a PT_SYSTIME value.
int64_t unixTime(const mapimime::MailProps& props, ULONG tag);

}  // namespace mimetest

#endif
