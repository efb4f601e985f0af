#include "socket_fixture.h"
#include <gtest/gtest.h>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "socket/csocket.h"

namespace sockettest {

using velkomb::_CSocket;

std::string BytesIn(const VARIANT& value)
{
    if (V_VT(&value) != (VT_ARRAY | VT_UI1)) {
        ADD_FAILURE() << "not a byte array: type " << V_VT(&value);
        return {};
    }
    auto bytes = automation::BytesOf(V_ARRAY(&value));
    return std::string(bytes.begin(), bytes.end());
}

TestSocket::TestSocket() : sink_(new EventSink(velkomb::DIID___CSocket))
{
    velkomb::socket::CSocket* object = velkomb::socket::CSocket::Create();
    object->QueryInterface(velkomb::IID__CSocket, reinterpret_cast<void**>(&socket_));
    object->Release();
    EXPECT_TRUE(sink_->AdviseOn(socket_));
}

TestSocket::~TestSocket()
{
    Drop();
    sink_->Release();
}

void TestSocket::Drop()
{
    if (socket_) std::exchange(socket_, nullptr)->Release();
}

namespace {

template <class T>
T Read(_CSocket* socket, HRESULT (STDMETHODCALLTYPE _CSocket::*get)(T*))
{
    T value{};
    EXPECT_EQ(S_OK, (socket->*get)(&value));
    return value;
}

std::wstring ReadText(_CSocket* socket, HRESULT (STDMETHODCALLTYPE _CSocket::*get)(BSTR*))
{
    automation::Bstr value;
    EXPECT_EQ(S_OK, (socket->*get)(value.out()));
    return value.str();
}

} // namespace

StateConstants TestSocket::State() const { return Read(socket_, &_CSocket::get_State); }
LONG TestSocket::Handle() const { return Read(socket_, &_CSocket::get_SocketHandle); }
LONG TestSocket::LocalPort() const { return Read(socket_, &_CSocket::get_LocalPort); }
LONG TestSocket::RemotePort() const { return Read(socket_, &_CSocket::get_RemotePort); }
LONG TestSocket::BytesReceived() const { return Read(socket_, &_CSocket::get_BytesReceived); }
std::wstring TestSocket::LocalIP() const { return ReadText(socket_, &_CSocket::get_LocalIP); }
std::wstring TestSocket::LocalHostName() const { return ReadText(socket_, &_CSocket::get_LocalHostName); }
std::wstring TestSocket::RemoteHost() const { return ReadText(socket_, &_CSocket::get_RemoteHost); }
std::wstring TestSocket::RemoteHostIP() const { return ReadText(socket_, &_CSocket::get_RemoteHostIP); }

HRESULT TestSocket::SetProtocol(velkomb::ProtocolConstants protocol) { return socket_->put_Protocol(&protocol); }

HRESULT TestSocket::SetRemoteHost(std::wstring_view host)
{
    automation::Bstr text(host);
    BSTR value = text.get();
    return socket_->put_RemoteHost(&value);
}

HRESULT TestSocket::SetRemotePort(LONG port) { return socket_->put_RemotePort(&port); }

HRESULT TestSocket::Connect(std::wstring_view host, LONG port)
{
    automation::Variant hostArg = Text(host);
    automation::Variant portArg = Long(port);
    return socket_->Connect(hostArg.get(), portArg.get());
}

HRESULT TestSocket::Bind(LONG port, std::wstring_view address)
{
    automation::Bstr text(address);
    BSTR value = text.get();
    return socket_->Bind(&port, &value);
}

HRESULT TestSocket::Send(const automation::Variant& value)
{
    automation::Variant copy = value;
    return socket_->SendData(copy.get());
}

HRESULT TestSocket::Get(automation::Variant& data, const automation::Variant& type, const automation::Variant& maxLen)
{
    automation::Variant typeArg = type;
    automation::Variant lengthArg = maxLen;
    return socket_->GetData(data.get(), typeArg.get(), lengthArg.get());
}

HRESULT TestSocket::Peek(automation::Variant& data, const automation::Variant& type, const automation::Variant& maxLen)
{
    automation::Variant typeArg = type;
    automation::Variant lengthArg = maxLen;
    return socket_->PeekData(data.get(), typeArg.get(), lengthArg.get());
}

void TestSocket::CollectArrivals()
{
    sink_->OnEvent([this](const Event& event) {
        if (event.id != velkomb::DISPID_OnDataArrival || !socket_) return;
        automation::Variant data;
        EXPECT_EQ(S_OK, Get(data, Long(VT_ARRAY | VT_UI1), Missing()));
        if (!data.isEmpty()) received_ += BytesIn(*data.get());
    });
}

bool TestSocket::WaitForEvent(DISPID id, size_t count, DWORD timeoutMs)
{
    return PumpUntil([&] { return sink_->Count(id) >= count; }, timeoutMs);
}

bool TestSocket::WaitForState(StateConstants state, DWORD timeoutMs)
{
    return PumpUntil([&] { return State() == state; }, timeoutMs);
}

bool TestSocket::ConnectAndWait(LONG port)
{
    return Connect(L"127.0.0.1", port) == S_OK && WaitForEvent(velkomb::DISPID_OnConnect);
}

} // namespace sockettest
