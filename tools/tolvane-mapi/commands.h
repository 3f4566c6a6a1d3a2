// Subcommands of the tolvane-mapi tool. Each takes the arguments after its
// own name and returns the process exit code.
#ifndef TOLVANE_TOOLS_COMMANDS_H
#define TOLVANE_TOOLS_COMMANDS_H

#include <mapidefs.h>

#include <string>
#include <vector>

int profileCommand(const std::vector<std::string>& args);
int directoryCommand(const std::vector<std::string>& args);
int deliverCommand(const std::vector<std::string>& args);
int listCommand(const std::vector<std::string>& args);
int spoolCommand(const std::vector<std::string>& args);
// `store copy` (store_cmd.cpp).
int storeCommand(const std::vector<std::string>& args);
// `lmtp` (lmtp_cmd.cpp): a resident LMTP delivery agent.
int lmtpCommand(const std::vector<std::string>& args);
// `spool daemon` (spool_daemon.cpp), after the word daemon.
int spoolDaemon(const std::vector<std::string>& args);

// Prints "tolvane-mapi: <message>" on standard error.
void toolError(const std::string& message);

// A text from a server or a message made fit for one field of a line of
// output: control characters as \xHH (C1 controls as \u00HH), tabs and line
// breaks as blanks, "-" for an empty text.
std::string printableField(const std::string& value);

// What a command needs to know of a profile before it logs on (a failed
// logon says only that it failed): MAPI_E_NO_ACCESS when the home is not
// safe to use (mapiprofile::checkHome), MAPI_E_LOGON_FAILED when there is
// no such profile, MAPI_E_NOT_FOUND when its message store file is
// missing; error says which.
HRESULT checkProfile(const std::string& name, std::string& error);

#endif
