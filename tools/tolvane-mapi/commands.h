// Subcommands of the tolvane-mapi tool. Each takes the arguments after its
// own name and returns the process exit code.
#ifndef TOLVANE_TOOLS_COMMANDS_H
#define TOLVANE_TOOLS_COMMANDS_H

#include <string>
#include <vector>

int profileCommand(const std::vector<std::string>& args);
int directoryCommand(const std::vector<std::string>& args);
int deliverCommand(const std::vector<std::string>& args);
int listCommand(const std::vector<std::string>& args);
int spoolCommand(const std::vector<std::string>& args);

// Prints "tolvane-mapi: <message>" on standard error.
void toolError(const std::string& message);

#endif
