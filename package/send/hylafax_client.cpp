#include "hylafax_client.h"

#include <stdarg.h>
#include <strsafe.h>

#include "scoped.h"

namespace {

// A server that stops answering is a lost connection, not a hung collector.
const DWORD kReplyWaitMs = 60 * 1000;

SOCKET Connect(unsigned long address, unsigned short port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  DWORD wait = kReplyWaitMs;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// "host" or "host:port" into an IPv4 address and a port.
bool Resolve(const wchar_t* server, unsigned long* address, unsigned short* port) {
  char host[kPathUnits];
  if (!WideCharToMultiByte(CP_ACP, 0, server, -1, host, sizeof host, nullptr, nullptr))
    return false;
  *port = kFaxServerPort;
  if (char* colon = strchr(host, ':')) {
    *colon = '\0';
    char* end = nullptr;
    unsigned long value = strtoul(colon + 1, &end, 10);
    if (end == colon + 1 || *end || value == 0 || value > 65535) return false;
    *port = static_cast<unsigned short>(value);
  }
  if (!host[0]) return false;
  unsigned long dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    *address = dotted;
    return true;
  }
  hostent* found = gethostbyname(host);
  if (!found || found->h_addrtype != AF_INET || !found->h_addr_list[0]) return false;
  CopyMemory(address, found->h_addr_list[0], 4);
  return true;
}

// One line of the control connection, without its CR LF; false when the
// connection broke (closed, reset, or silent too long).
bool ReadLine(HylaFaxSession* s, char* line, int units) {
  for (;;) {
    for (int i = 0; i < s->buffered; ++i) {
      if (s->buffer[i] != '\n') continue;
      int length = i > 0 && s->buffer[i - 1] == '\r' ? i - 1 : i;
      StringCchCopyNA(line, units, s->buffer, length);
      MoveMemory(s->buffer, s->buffer + i + 1, s->buffered - i - 1);
      s->buffered -= i + 1;
      return true;
    }
    // A line longer than the buffer is kept to its start.
    if (s->buffered == sizeof s->buffer) s->buffered = 0;
    int got = recv(s->control, s->buffer + s->buffered, sizeof s->buffer - s->buffered, 0);
    if (got <= 0) return false;
    s->buffered += got;
  }
}

// A reply: "NNN text", or lines "NNN-text" ... up to "NNN text".
int ReadReply(HylaFaxSession* s) {
  char line[1024];
  s->code = 0;
  s->reply[0] = '\0';
  for (;;) {
    if (!ReadLine(s, line, sizeof line)) return 0;
    if (lstrlenA(line) < 4 || line[0] < '1' || line[0] > '5' || line[1] < '0' || line[1] > '9' ||
        line[2] < '0' || line[2] > '9')
      continue;  // a continuation line of a multi-line reply
    StringCchCopyA(s->reply, ARRAYSIZE(s->reply), line + 4);
    if (line[3] == ' ') {
      s->code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
      return s->code;
    }
  }
}

bool SendAll(SOCKET s, const char* data, int size) {
  while (size > 0) {
    int sent = send(s, data, size, 0);
    if (sent <= 0) return false;
    data += sent;
    size -= sent;
  }
  return true;
}

// PASV, then the data connection to the address the server names.
SOCKET OpenData(HylaFaxSession* s) {
  if (Command(s, "PASV") != 227) return INVALID_SOCKET;
  // "227 Entering passive mode (h1,h2,h3,h4,p1,p2)"
  const char* c = strchr(s->reply, '(');
  if (!c) return INVALID_SOCKET;
  unsigned long a[6];
  for (int i = 0; i < 6; ++i) {
    char* end = nullptr;
    a[i] = strtoul(c + 1, &end, 10);
    if (end == c + 1 || a[i] > 255 || *end != (i < 5 ? ',' : ')')) return INVALID_SOCKET;
    c = end;
  }
  unsigned long address = htonl((a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3]);
  return Connect(address, static_cast<unsigned short>((a[4] << 8) | a[5]));
}

using ScopedSocket = Scoped<SOCKET, int, ::closesocket>;

}  // namespace

int OpenSession(HylaFaxSession* s, const wchar_t* server) {
  ZeroMemory(s, sizeof *s);
  s->control = INVALID_SOCKET;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return kSendUnreachable;
  unsigned long address = 0;
  unsigned short port = 0;
  if (!Resolve(server, &address, &port) ||
      (s->control = Connect(address, port)) == INVALID_SOCKET) {
    StringCchPrintfA(s->reply, ARRAYSIZE(s->reply), "no connection (error %d)", WSAGetLastError());
    WSACleanup();
    return kSendUnreachable;
  }
  if (ReadReply(s) == 220) return kSendOk;
  int result = s->code ? kSendUnreachable : kSendConnectionLost;
  CloseSession(s);
  return result;
}

void CloseSession(HylaFaxSession* s) {
  if (s->control == INVALID_SOCKET) return;
  closesocket(s->control);
  s->control = INVALID_SOCKET;
  WSACleanup();
}

int Command(HylaFaxSession* s, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  HRESULT made = StringCchVPrintfA(line, sizeof line - 2, format, args);
  va_end(args);
  if (FAILED(made)) {
    s->code = 500;
    StringCchCopyA(s->reply, ARRAYSIZE(s->reply), "command too long");
    return s->code;
  }
  StringCchCatA(line, sizeof line, "\r\n");
  if (!SendAll(s->control, line, lstrlenA(line))) {
    s->code = 0;
    return 0;
  }
  return ReadReply(s);
}

int LogIn(HylaFaxSession* s, const wchar_t* user, const wchar_t* password) {
  char name[kPathUnits];
  WideCharToMultiByte(CP_UTF8, 0, user, -1, name, sizeof name, nullptr, nullptr);
  int code = Command(s, "USER %s", name);
  if (code == 331) {
    if (!password || !password[0]) {
      StringCchCopyA(s->reply, ARRAYSIZE(s->reply), "the server asks for a password");
      return kSendLoginRefused;
    }
    char secret[kPathUnits];
    WideCharToMultiByte(CP_UTF8, 0, password, -1, secret, sizeof secret, nullptr, nullptr);
    code = Command(s, "PASS %s", secret);
    SecureZeroMemory(secret, sizeof secret);
  }
  if (code == 230) return kSendOk;
  return code ? kSendLoginRefused : kSendConnectionLost;
}

int Upload(HylaFaxSession* s, const wchar_t* path, char* serverName, int units) {
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return kSendNoDocument;
  if (Command(s, "TYPE I") != 200 || Command(s, "FORM TIFF") != 200)
    return s->code ? kSendDocumentRefused : kSendConnectionLost;
  ScopedSocket data(OpenData(s));
  if (!data) return s->code && s->code != 227 ? kSendDocumentRefused : kSendConnectionLost;
  int code = Command(s, "STOT");
  if (code != 150 && code != 125) return code ? kSendDocumentRefused : kSendConnectionLost;
  char chunk[16384];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    if (!SendAll(data.get(), chunk, static_cast<int>(got))) return kSendConnectionLost;
  // The end of the data connection is the end of the document.
  shutdown(data.get(), SD_SEND);
  data.reset();
  code = ReadReply(s);
  if (code != 226) return code ? kSendDocumentRefused : kSendConnectionLost;
  // "Transfer complete (FILE: /tmp/doc1.tif)."
  const char* name = strstr(s->reply, "FILE: ");
  if (!name) return kSendDocumentRefused;
  name += 6;
  int length = 0;
  while (name[length] && name[length] != ')' && name[length] != ' ') ++length;
  return SUCCEEDED(StringCchCopyNA(serverName, units, name, length)) ? kSendOk
                                                                     : kSendDocumentRefused;
}

int ListJobs(HylaFaxSession* s, const char* queue, char* out, int units) {
  out[0] = '\0';
  if (Command(s, "JOBFMT \"%%j|%%a|%%J|%%s\"") != 200)
    return s->code ? kSendOk : kSendConnectionLost;
  ScopedSocket data(OpenData(s));
  if (!data) return s->code ? kSendOk : kSendConnectionLost;
  int code = Command(s, "LIST %s", queue);
  if (code != 150 && code != 125) return code ? kSendOk : kSendConnectionLost;
  int used = 0;
  for (;;) {
    int got = recv(data.get(), out + used, units - 1 - used, 0);
    if (got <= 0) break;
    used += got;
    if (used == units - 1) break;  // more jobs than room: the newest are kept out
  }
  out[used] = '\0';
  data.reset();
  return ReadReply(s) ? kSendOk : kSendConnectionLost;
}

void ReplyText(const char* text, wchar_t* out, int units) {
  if (!MultiByteToWideChar(CP_UTF8, 0, text, -1, out, units) &&
      !MultiByteToWideChar(CP_ACP, 0, text, -1, out, units))
    out[0] = L'\0';
  out[units - 1] = L'\0';
}
