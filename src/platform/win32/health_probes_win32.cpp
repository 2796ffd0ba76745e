// Health probes on Win32: HTTP through WinHTTP, TCP through Winsock, both
// loaded from System32 by the first try that needs them; commands through
// CreateProcessW with their output on a pipe.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../native.h"
#include "system_library.h"
#include "unique_handles.h"
#include "windows_api.h"
// After windows.h (kept lean), which they need.
#include <winhttp.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace usqz::platform {

namespace {

using win32::fromWide;
using win32::SystemLibrary;
using win32::UniqueKernelHandle;
using win32::WideZ;

constexpr std::size_t kOutputKept = 4 * 1024;

ProbeAnswer refused(DWORD error) { return {ProbeAnswer::Kind::Refused, 0, error, {}, {}}; }
ProbeAnswer timedOut() { return {ProbeAnswer::Kind::TimedOut, 0, kOk, {}, {}}; }
ProbeAnswer answered(std::uint32_t code) { return {ProbeAnswer::Kind::Answered, code, kOk, {}, {}}; }

class WinHttp {
 public:
  WinHttp() : library_(L"winhttp.dll") {}
  bool loaded() {
    crack = library_.find<decltype(crack)>("WinHttpCrackUrl");
    open = library_.find<decltype(open)>("WinHttpOpen");
    connect = library_.find<decltype(connect)>("WinHttpConnect");
    request = library_.find<decltype(request)>("WinHttpOpenRequest");
    timeouts = library_.find<decltype(timeouts)>("WinHttpSetTimeouts");
    option = library_.find<decltype(option)>("WinHttpSetOption");
    send = library_.find<decltype(send)>("WinHttpSendRequest");
    receive = library_.find<decltype(receive)>("WinHttpReceiveResponse");
    query = library_.find<decltype(query)>("WinHttpQueryHeaders");
    close = library_.find<decltype(close)>("WinHttpCloseHandle");
    callback = library_.find<decltype(callback)>("WinHttpSetStatusCallback");
    return crack && open && connect && request && timeouts && option && send && receive && query && close &&
           callback;
  }
  DWORD error() const { return library_.error(); }

  BOOL(WINAPI* crack)(LPCWSTR, DWORD, DWORD, LPURL_COMPONENTS) = nullptr;
  HINTERNET(WINAPI* open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) = nullptr;
  HINTERNET(WINAPI* connect)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD) = nullptr;
  HINTERNET(WINAPI* request)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD) = nullptr;
  BOOL(WINAPI* timeouts)(HINTERNET, int, int, int, int) = nullptr;
  BOOL(WINAPI* option)(HINTERNET, DWORD, LPVOID, DWORD) = nullptr;
  BOOL(WINAPI* send)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) = nullptr;
  BOOL(WINAPI* receive)(HINTERNET, LPVOID) = nullptr;
  BOOL(WINAPI* query)(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD) = nullptr;
  BOOL(WINAPI* close)(HINTERNET) = nullptr;
  WINHTTP_STATUS_CALLBACK(WINAPI* callback)(HINTERNET, WINHTTP_STATUS_CALLBACK, DWORD, DWORD_PTR) = nullptr;

 private:
  SystemLibrary library_;
};

// What one asynchronous request tells its caller, from WinHTTP's threads. It
// lives until WinHTTP says the request's handle is gone; a caller that gave
// up waiting for that leaves it behind rather than free it under them.
struct HttpCall {
  HttpCall() : step(CreateEventW(nullptr, FALSE, FALSE, nullptr)), gone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~HttpCall() {
    if (step != nullptr) CloseHandle(step);
    if (gone != nullptr) CloseHandle(gone);
  }
  HANDLE step;
  HANDLE gone;
  DWORD error = 0;
  bool failed = false;
};

void CALLBACK onHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
  auto* call = reinterpret_cast<HttpCall*>(context);
  if (call == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      SetEvent(call->step);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      call->error = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
      call->failed = true;
      SetEvent(call->step);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      SetEvent(call->gone);
      break;
    default:
      break;
  }
}

// The time left until `deadline`, for a wait.
DWORD left(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

class Winsock {
 public:
  Winsock() : library_(L"ws2_32.dll") {}
  bool loaded() {
    startup = library_.find<decltype(startup)>("WSAStartup");
    cleanup = library_.find<decltype(cleanup)>("WSACleanup");
    resolve = library_.find<decltype(resolve)>("GetAddrInfoW");
    freeInfo = library_.find<decltype(freeInfo)>("FreeAddrInfoW");
    makeSocket = library_.find<decltype(makeSocket)>("socket");
    control = library_.find<decltype(control)>("ioctlsocket");
    connect = library_.find<decltype(connect)>("connect");
    wait = library_.find<decltype(wait)>("select");
    getOption = library_.find<decltype(getOption)>("getsockopt");
    closeSocket = library_.find<decltype(closeSocket)>("closesocket");
    lastError = library_.find<decltype(lastError)>("WSAGetLastError");
    return startup && cleanup && resolve && freeInfo && makeSocket && control && connect && wait && getOption &&
           closeSocket && lastError;
  }
  DWORD error() const { return library_.error(); }

  int(WSAAPI* startup)(WORD, LPWSADATA) = nullptr;
  int(WSAAPI* cleanup)() = nullptr;
  INT(WSAAPI* resolve)(PCWSTR, PCWSTR, const ADDRINFOW*, PADDRINFOW*) = nullptr;
  VOID(WSAAPI* freeInfo)(PADDRINFOW) = nullptr;
  SOCKET(WSAAPI* makeSocket)(int, int, int) = nullptr;
  int(WSAAPI* control)(SOCKET, long, u_long*) = nullptr;
  int(WSAAPI* connect)(SOCKET, const sockaddr*, int) = nullptr;
  int(WSAAPI* wait)(int, fd_set*, fd_set*, fd_set*, const timeval*) = nullptr;
  int(WSAAPI* getOption)(SOCKET, int, int, char*, int*) = nullptr;
  int(WSAAPI* closeSocket)(SOCKET) = nullptr;
  int(WSAAPI* lastError)() = nullptr;

 private:
  SystemLibrary library_;
};

// A name lookup shared by the probe and the thread that makes it; the last
// of the two to let go frees it. It keeps its own copies of the functions
// it calls: a lookup that outlives its deadline may outlive the probes
// too, and Winsock's library stays loaded for the life of the process.
struct Lookup {
  Lookup(const Winsock& winsock, std::wstring name, std::wstring service)
      : resolve(winsock.resolve),
        freeInfo(winsock.freeInfo),
        host(std::move(name)),
        port(std::move(service)),
        done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Lookup() {
    if (found != nullptr) freeInfo(found);
    if (done != nullptr) CloseHandle(done);
  }
  void release() {
    if (InterlockedDecrement(&owners) == 0) delete this;
  }
  static DWORD WINAPI run(void* self) {
    auto* lookup = static_cast<Lookup*>(self);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup->error = lookup->resolve(lookup->host.c_str(), lookup->port.c_str(), &hints, &lookup->found);
    SetEvent(lookup->done);
    lookup->release();
    return 0;
  }

  decltype(Winsock::resolve) resolve;
  decltype(Winsock::freeInfo) freeInfo;
  std::wstring host;
  std::wstring port;
  HANDLE done;
  PADDRINFOW found = nullptr;
  int error = 0;
  LONG owners = 2;
};

std::u16string header(WinHttp& http, HINTERNET request, DWORD which) {
  DWORD size = 0;
  http.query(request, which, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, WINHTTP_NO_HEADER_INDEX);
  if (size == 0) return {};
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!http.query(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size, WINHTTP_NO_HEADER_INDEX)) return {};
  value.resize(size / sizeof(wchar_t));
  return fromWide(value.data(), value.size());
}

std::u16string lastLineOf(const std::string& output) {
  std::size_t end = output.size();
  while (end > 0 && (output[end - 1] == '\n' || output[end - 1] == '\r' || output[end - 1] == ' ')) --end;
  const auto start = output.find_last_of("\r\n", end == 0 ? 0 : end - 1);
  const std::string line = output.substr(start == std::string::npos || end == 0 ? 0 : start + 1,
                                         end - (start == std::string::npos || end == 0 ? 0 : start + 1));
  if (line.empty()) return {};
  // Console programs write in the OEM code page when redirected.
  const int size = MultiByteToWideChar(CP_OEMCP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  if (size > 0) MultiByteToWideChar(CP_OEMCP, 0, line.data(), static_cast<int>(line.size()), wide.data(), size);
  return fromWide(wide.data(), wide.size());
}

class Win32HealthProbes final : public HealthProbes {
 public:
  // Asynchronous, so that the tool's own deadline bounds the whole try: a
  // name lookup, a connection, a server that trickles its answer.
  ProbeAnswer httpGet(std::u16string_view url, std::uint32_t timeoutMs) override {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    if (!http_) http_ = std::make_unique<WinHttp>();
    WinHttp& http = *http_;
    if (!http.loaded()) return refused(http.error());
    const WideZ address(url);
    // Pointers into the URL itself: a URL of any length.
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!http.crack(address.get(), 0, 0, &parts)) return refused(GetLastError());
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring target(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) target.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target.empty()) target = L"/";

    const auto closer = [&http](HINTERNET handle) {
      if (handle != nullptr) http.close(handle);
    };
    // The machine's proxy, but never for the machine itself or its link.
    const bool direct = isLocalHost(fromWide(host.data(), host.size()));
    std::unique_ptr<void, decltype(closer)> session(
        http.open(L"UpdateServiceQZ", direct ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC),
        closer);
    if (!session) return refused(GetLastError());
    const int ms = static_cast<int>(timeoutMs);
    http.timeouts(session.get(), ms, ms, ms, ms);
    std::unique_ptr<void, decltype(closer)> connection(http.connect(session.get(), host.c_str(), parts.nPort, 0), closer);
    if (!connection) return refused(GetLastError());
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    HINTERNET request = http.request(connection.get(), L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, secure);
    if (request == nullptr) return refused(GetLastError());
    // A redirect is an answer of its own, not healthy: never followed.
    DWORD never = WINHTTP_DISABLE_REDIRECTS;
    http.option(request, WINHTTP_OPTION_DISABLE_FEATURE, &never, sizeof never);
    DWORD receiveMs = timeoutMs;
    http.option(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveMs, sizeof receiveMs);
    auto* call = new HttpCall();
    http.callback(request, onHttpStatus, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES, 0);

    ProbeAnswer answer = timedOut();
    const auto waitStep = [&] {
      if (WaitForSingleObject(call->step, left(deadline)) != WAIT_OBJECT_0) return false;
      if (call->failed) {
        answer = call->error == ERROR_WINHTTP_TIMEOUT ? timedOut() : refused(call->error);
        return false;
      }
      return true;
    };
    if (!http.send(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                   reinterpret_cast<DWORD_PTR>(call))) {
      answer = refused(GetLastError());
    } else if (waitStep()) {
      if (!http.receive(request, nullptr)) {
        answer = refused(GetLastError());
      } else if (waitStep()) {
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!http.query(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX)) {
          answer = refused(GetLastError());
        } else {
          answer = answered(status);
          if (status >= 300 && status < 400) answer.location = header(http, request, WINHTTP_QUERY_LOCATION);
        }
      }
    }
    // Closing cancels whatever is still under way; the call is freed once
    // WinHTTP is done with it.
    http.close(request);
    if (WaitForSingleObject(call->gone, 5'000) == WAIT_OBJECT_0) delete call;
    return answer;
  }

  ProbeAnswer tcpConnect(std::u16string_view host, std::uint16_t port, std::uint32_t timeoutMs) override {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    if (!net_) net_ = std::make_unique<Winsock>();
    Winsock& net = *net_;
    if (!net.loaded()) return refused(net.error());
    WSADATA data{};
    if (const int error = net.startup(MAKEWORD(2, 2), &data)) return refused(static_cast<DWORD>(error));
    // The name is looked up on a thread of its own, waited for only until
    // the deadline: a lookup that hangs costs one try, not the run.
    auto* lookup = new Lookup(net, std::wstring(host.begin(), host.end()), std::to_wstring(port));
    ProbeAnswer answer = timedOut();
    HANDLE thread = CreateThread(nullptr, 0, Lookup::run, lookup, 0, nullptr);
    if (thread == nullptr) {
      answer = refused(GetLastError());
      lookup->release();
      lookup->release();
    } else {
      CloseHandle(thread);
      if (WaitForSingleObject(lookup->done, left(deadline)) == WAIT_OBJECT_0) {
        if (lookup->error != 0) {
          answer = refused(static_cast<DWORD>(lookup->error));
        } else {
          answer = refused(WSAECONNREFUSED);
          for (auto* entry = lookup->found; entry != nullptr; entry = entry->ai_next) {
            answer = tryConnect(net, *entry, left(deadline));
            if (answer.kind == ProbeAnswer::Kind::Answered || left(deadline) == 0) break;
          }
        }
        lookup->release();
        net.cleanup();
      } else {
        // Still looking up: the thread keeps Winsock started and frees
        // what it found itself.
        lookup->release();
      }
    }
    return answer;
  }

  ProbeAnswer runCommand(std::u16string_view program, std::u16string_view commandLine,
                         std::uint32_t timeoutMs) override {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return refused(GetLastError());
    UniqueKernelHandle reader(readEnd);
    UniqueKernelHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    // The command and all it starts live in a job: ended together at the
    // deadline, and when the tool exits (the job's last handle closes).
    UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return refused(GetLastError());
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

    // It inherits its output pipe and nothing else of the tool's: not the
    // tool's own standard output, which whoever runs the tool reads to its
    // end.
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return refused(GetLastError());
    const auto deleteList = [](LPPROC_THREAD_ATTRIBUTE_LIST owned) { DeleteProcThreadAttributeList(owned); };
    const std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>, decltype(deleteList)> owned(list,
                                                                                                        deleteList);
    HANDLE inherited[] = {writeEnd};
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                   nullptr)) {
      return refused(GetLastError());
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = writeEnd;
    startup.StartupInfo.hStdError = writeEnd;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION child{};
    const std::u16string name(program);
    std::u16string line(commandLine);
    if (!CreateProcessW(reinterpret_cast<const wchar_t*>(name.c_str()), reinterpret_cast<wchar_t*>(line.data()),
                        nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &startup.StartupInfo, &child)) {
      return refused(GetLastError());
    }
    const UniqueKernelHandle process(child.hProcess);
    const UniqueKernelHandle thread(child.hThread);
    if (!AssignProcessToJobObject(job.get(), child.hProcess)) {
      const DWORD error = GetLastError();
      TerminateProcess(child.hProcess, ERROR_TIMEOUT);
      return refused(error);
    }
    ResumeThread(child.hThread);
    writer.reset();  // the command's tree holds the only write ends now

    std::string output;
    const auto drain = [&] {
      DWORD available = 0;
      while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[1024];
        DWORD got = 0;
        if (!ReadFile(readEnd, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0) break;
        output.append(buffer, got);
        if (output.size() > kOutputKept) output.erase(0, output.size() - kOutputKept);
      }
    };
    for (;;) {
      drain();
      const ULONGLONG now = GetTickCount64();
      const DWORD slice = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(50, deadline - now));
      if (WaitForSingleObject(child.hProcess, slice) == WAIT_OBJECT_0) break;
      if (now >= deadline) {
        TerminateJobObject(job.get(), ERROR_TIMEOUT);
        WaitForSingleObject(child.hProcess, 5'000);
        return timedOut();
      }
    }
    drain();
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    ProbeAnswer answer = answered(code);
    answer.lastLine = lastLineOf(output);
    // What it left running lives until the tool exits.
    jobs_.push_back(std::move(job));
    return answer;
  }

 private:
  // Loaded by the first try that needs them.
  std::unique_ptr<WinHttp> http_;
  std::unique_ptr<Winsock> net_;
  // The jobs of commands that have exited, with whatever they started.
  std::vector<UniqueKernelHandle> jobs_;

  static ProbeAnswer tryConnect(Winsock& net, const ADDRINFOW& address, std::uint32_t timeoutMs) {
    const SOCKET socket = net.makeSocket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (socket == INVALID_SOCKET) return refused(static_cast<DWORD>(net.lastError()));
    u_long nonBlocking = 1;
    net.control(socket, FIONBIO, &nonBlocking);
    ProbeAnswer answer = answered(0);
    if (net.connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
      const int error = net.lastError();
      if (error != WSAEWOULDBLOCK) {
        answer = refused(static_cast<DWORD>(error));
      } else {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        const timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
        const int ready = net.wait(0, nullptr, &writable, &failed, &limit);
        int socketError = 0;
        int size = sizeof socketError;
        if (ready == 0) {
          answer = timedOut();
        } else if (ready < 0) {
          answer = refused(static_cast<DWORD>(net.lastError()));
        } else if (net.getOption(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError), &size) != 0 ||
                   socketError != 0) {
          answer = refused(static_cast<DWORD>(socketError != 0 ? socketError : net.lastError()));
        }
      }
    }
    net.closeSocket(socket);
    return answer;
  }
};

}  // namespace

std::unique_ptr<HealthProbes> makeNativeHealthProbes() { return std::make_unique<Win32HealthProbes>(); }

}  // namespace usqz::platform
