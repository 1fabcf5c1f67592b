// Behaviour, record and script of the transport double (see the header).
#include "transport_double_state.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace TransportDouble {
namespace {

struct State {
    std::mutex Lock;
    std::vector<Call> Calls;
    std::map<std::string, int> LoadCount, UnloadCount;
    // script
    WORD CreateAnswer = 0;
    DWORD CreateError = 0;
    int BindAnswer = 0;
    DWORD BindError = 0;
    int ConnectAnswer = 0;
    DWORD ConnectError = 0;
    std::deque<int> SendAnswers;
    std::string DeviceId;
    int CapabilityAnswer = 0;
    int TimeoutAnswer = 1;
    DWORD FirstTimeout = 7000, SecondTimeout = 60000;
    // state
    WORD NextId = 1;
    std::vector<WORD> Open;
    std::string Sent;
};

State &S() {
    static State *state = new State;
    return *state;
}

int Record(Call &call, int answer) {
    call.Answer = answer;
    S().Calls.push_back(call);
    return answer;
}

std::vector<BYTE> Bytes(const void *address) {
    const BYTE *p = (const BYTE *)address;
    return address != nullptr ? std::vector<BYTE>(p, p + 44) : std::vector<BYTE>();
}

} // namespace

void Reset() {
    std::lock_guard<std::mutex> guard(S().Lock);
    State &s = S();
    s.Calls.clear();
    s.LoadCount.clear();
    s.UnloadCount.clear();
    s.CreateAnswer = 0;
    s.CreateError = 0;
    s.BindAnswer = 0;
    s.BindError = 0;
    s.ConnectAnswer = 0;
    s.ConnectError = 0;
    s.SendAnswers.clear();
    s.DeviceId.clear();
    s.CapabilityAnswer = 0;
    s.TimeoutAnswer = 1;
    s.FirstTimeout = 7000;
    s.SecondTimeout = 60000;
    s.NextId = 1;
    s.Open.clear();
    s.Sent.clear();
}

void SetCreateSocketAnswer(WORD answer, DWORD error) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().CreateAnswer = answer;
    S().CreateError = error;
}

void SetBindAnswer(int answer, DWORD error) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().BindAnswer = answer;
    S().BindError = error;
}

void SetConnectAnswer(int answer, DWORD error) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().ConnectAnswer = answer;
    S().ConnectError = error;
}

void ScriptSends(std::vector<int> answers) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().SendAnswers.assign(answers.begin(), answers.end());
}

void SetDeviceId(const std::string &deviceId) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().DeviceId = deviceId;
}

void SetCapabilityAnswer(int answer) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().CapabilityAnswer = answer;
}

void SetTimeouts(int answer, DWORD first, DWORD second) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().TimeoutAnswer = answer;
    S().FirstTimeout = first;
    S().SecondTimeout = second;
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().Calls;
}

std::vector<Call> Calls(const std::string &name) {
    std::lock_guard<std::mutex> guard(S().Lock);
    std::vector<Call> calls;
    for (const Call &call : S().Calls)
        if (call.Name == name)
            calls.push_back(call);
    return calls;
}

std::vector<std::string> CallNames() {
    std::lock_guard<std::mutex> guard(S().Lock);
    std::vector<std::string> names;
    for (const Call &call : S().Calls)
        names.push_back(call.Name);
    return names;
}

void ClearCalls() {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().Calls.clear();
    S().Sent.clear();
}

std::string Sent() {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().Sent;
}

std::vector<WORD> OpenSockets() {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().Open;
}

int Loads(const std::string &variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().LoadCount[variant];
}

int Unloads(const std::string &variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().UnloadCount[variant];
}

void NoteLoad(const char *variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().LoadCount[variant]++;
}

void NoteUnload(const char *variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().UnloadCount[variant]++;
}

// ---------------------------------------------------------------- the double's calls

WORD CreateSocket() {
    std::lock_guard<std::mutex> guard(S().Lock);
    State &s = S();
    Call call;
    call.Name = "CreateSocket";
    if (s.CreateAnswer != 0) {
        call.Socket = s.CreateAnswer;
        if (s.CreateError != 0)
            SetLastError(s.CreateError);
    } else {
        call.Socket = s.NextId++;
    }
    if ((call.Socket & TRANSPORT_SOCKET_FAILED) == 0)
        s.Open.push_back(call.Socket);
    Record(call, call.Socket);
    return call.Socket;
}

int Bind(WORD socket, ChannelBindAddress *address) {
    std::lock_guard<std::mutex> guard(S().Lock);
    Call call;
    call.Name = "Bind";
    call.Socket = socket;
    call.Address = Bytes(address);
    if (address != nullptr)
        call.Device.assign(address->DeviceName,
                           strnlen(address->DeviceName, sizeof(address->DeviceName)));
    if (S().BindAnswer != 0 && S().BindError != 0)
        SetLastError(S().BindError);
    return Record(call, S().BindAnswer);
}

int GetSockedID(WORD socket) {
    std::lock_guard<std::mutex> guard(S().Lock);
    Call call;
    call.Name = "GetSockedID";
    call.Socket = socket;
    return Record(call, socket);
}

int Connect(WORD socket, ChannelConnectAddress *address) {
    std::lock_guard<std::mutex> guard(S().Lock);
    Call call;
    call.Name = "Connect";
    call.Socket = socket;
    call.Address = Bytes(address);
    if (S().ConnectAnswer != 0 && S().ConnectError != 0)
        SetLastError(S().ConnectError);
    return Record(call, S().ConnectAnswer);
}

int CloseSocket(WORD socket) {
    std::lock_guard<std::mutex> guard(S().Lock);
    Call call;
    call.Name = "CloseSocket";
    call.Socket = socket;
    std::vector<WORD> &open = S().Open;
    auto found = std::find(open.begin(), open.end(), socket);
    if (found == open.end())
        return Record(call, -1);
    open.erase(found);
    return Record(call, 0);
}

int Recv(WORD socket, LPBYTE buffer, DWORD count) {
    std::lock_guard<std::mutex> guard(S().Lock);
    Call call;
    call.Name = "Recv";
    call.Socket = socket;
    return Record(call, 0);
}

int Send(WORD socket, LPBYTE data, DWORD count) {
    std::lock_guard<std::mutex> guard(S().Lock);
    State &s = S();
    Call call;
    call.Name = "Send";
    call.Socket = socket;
    call.Data.assign((const char *)data, count);
    int answer = (int)count;
    if (!s.SendAnswers.empty()) {
        answer = s.SendAnswers.front();
        s.SendAnswers.pop_front();
    }
    if (answer > (int)count)
        answer = (int)count;
    if (answer > 0)
        s.Sent.append((const char *)data, (size_t)answer);
    return Record(call, answer);
}

int GetChannelCapability(WORD socket, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                         DWORD outSize, LPDWORD returned) {
    std::lock_guard<std::mutex> guard(S().Lock);
    State &s = S();
    Call call;
    call.Name = "GetChannelCapability";
    call.Socket = socket;
    call.Code = code;
    call.InSize = inSize;
    call.OutSize = outSize;
    if (s.CapabilityAnswer != 0 || code != IOCTL_PAR_QUERY_DEVICE_ID)
        return Record(call, s.CapabilityAnswer != 0 ? s.CapabilityAnswer : -1);
    DWORD length = std::min<DWORD>((DWORD)s.DeviceId.size(), outSize);
    memcpy(out, s.DeviceId.data(), length);
    *returned = length;
    return Record(call, 0);
}

int SetTimeout(WORD socket, DWORD first, DWORD second) {
    std::lock_guard<std::mutex> guard(S().Lock);
    Call call;
    call.Name = "SetTimeout";
    call.Socket = socket;
    call.First = first;
    call.Second = second;
    return Record(call, 1);
}

int GetTimeout(WORD socket, LPDWORD first, LPDWORD second) {
    std::lock_guard<std::mutex> guard(S().Lock);
    State &s = S();
    Call call;
    call.Name = "GetTimeout";
    call.Socket = socket;
    if (s.TimeoutAnswer != 0) {
        *first = s.FirstTimeout;
        *second = s.SecondTimeout;
    }
    return Record(call, s.TimeoutAnswer);
}

} // namespace TransportDouble
