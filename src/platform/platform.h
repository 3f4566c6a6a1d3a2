// OS services for the native objects. Everything under src/ reaches the
// operating system through these functions only; posix/ and win32/ hold the
// two implementations.
#ifndef TOLVANE_PLATFORM_PLATFORM_H
#define TOLVANE_PLATFORM_PLATFORM_H

#include <mapidefs.h>

#include <cstdarg>
#include <cstdint>
#include <string>

namespace platform {

// The calling thread's last system error code (GetLastError, errno).
DWORD lastError();
void setLastError(DWORD code);

// The system's message text for an error code, as FormatMessageA gives it
// with FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS and the
// neutral language (line break included where the system adds one). Returns
// false and leaves text empty when the system has no text for the code.
bool errorText(DWORD code, std::string& text);

// Environment variable; false when it is not set.
bool getEnv(const char* name, std::string& value);

int processId();

// The local time as strftime's "%c" gives it.
std::string localTimeText();

// Separator between a directory and a file name in paths that the library
// builds ("\\" on Windows, "/" elsewhere).
const char* pathSeparator();

// Appends bytes to a file, creating it readable and writable by its owner
// only when it does not exist. A symbolic link is not followed. Returns false
// when the file cannot be opened or written.
bool appendToPrivateFile(const std::string& path, const std::string& bytes);

// Creates a new, empty file with a unique name beginning with prefix in dir,
// readable and writable by its owner only, never reusing or following an
// existing name. Returns false (last error set) when dir is missing or not
// writable.
bool createUniqueFile(const std::string& dir, const std::string& prefix, const std::string& extension,
                      std::string& path);

bool deleteFile(const std::string& path);

// True when the file's status can be read.
bool fileExists(const std::string& path);

// A file opened for writing, written sequentially; other readers and writers
// may open it meanwhile. open creates the file readable and writable by its
// owner only, or empties an existing regular file of the user (its mode
// stays). It never writes through a symbolic link at the path (the last
// component: a link there is refused, not followed) and refuses anything but
// a regular file, and, on POSIX systems, a file of another user.
class OutputFile {
 public:
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool open(const std::string& path);  // false with the last error set
  bool write(const void* data, ULONG size);
  bool close();  // flushes; false when the data did not reach the file
  bool isOpen() const;
  // Whether the last successful open made the file (rather than emptying one
  // that was there), so that a failed write can take away what it made.
  bool created() const { return m_created; }

 private:
  intptr_t m_handle;
  bool m_created;
};

// A file opened for reading only, without denying other openers any
// access, read front to back. Small reads are served from a buffer, so that
// reading a large file a kilobyte at a time costs about as much as reading
// it in large pieces.
class InputFile {
 public:
  InputFile();
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool open(const std::string& path);  // false with the last error set
  // Up to size bytes; got is 0 at the end. False (last error set) on a read
  // error.
  bool read(void* data, ULONG size, ULONG& got);
  bool seekToStart();
  void close();
  bool isOpen() const;

 private:
  intptr_t m_handle;
  char* m_buffer;
  ULONG m_bufferFill;
  ULONG m_bufferPos;
};

// Current time in UTC as a FILETIME (100 ns intervals since 1601-01-01).
FILETIME systemTimeAsFileTime();

// FILETIME (UTC) to an automation date: days since 1899-12-30 00:00 with the
// time of day as the fraction. False when the time cannot be converted.
bool fileTimeToAutomationDate(const FILETIME& ft, double& date);

// An automation date as text (VarBstrFromDate in the user's locale; on
// Linux the same "M/D/YYYY h:mm:ss AM" form). False on failure.
bool automationDateToText(double date, std::string& text);

// Narrow (ANSI code page) text to wide text and back.
std::wstring toWide(const std::string& text);

// True when byte is a lead byte of a double-byte character in the system
// code page.
bool isDBCSLeadByte(BYTE byte);

// Case-blind comparison of two narrow strings (_strcmpi); 0 when equal.
int compareNoCase(const char* a, const char* b);

}  // namespace platform

#endif  // TOLVANE_PLATFORM_PLATFORM_H
