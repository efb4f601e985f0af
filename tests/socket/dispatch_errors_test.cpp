// The same failures as a late-bound host sees them: through IDispatch::Invoke
// and its EXCEPINFO.
#include <gtest/gtest.h>
#include "automation/bstr.h"
#include "socket_fixture.h"

namespace sockettest {
namespace {

using testsupport::ErrorNumber;

struct InvokeOutcome {
    HRESULT hr;
    EXCEPINFO exception;
    ~InvokeOutcome()
    {
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    }
};

// Calls a method by name with its arguments in declaration order.
void InvokeMethod(velkomb::_CSocket* object, const wchar_t* name, std::vector<automation::Variant> args,
                  InvokeOutcome& outcome)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    ASSERT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    std::vector<VARIANT> reversed;
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) reversed.push_back(*arg->get());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    automation::Variant result;
    UINT argError = 0;
    outcome.exception = EXCEPINFO{};
    outcome.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.get(),
                                &outcome.exception, &argError);
}

void ExpectException(const InvokeOutcome& outcome, long number, const wchar_t* source, const wchar_t* description)
{
    EXPECT_EQ(DISP_E_EXCEPTION, outcome.hr);
    EXPECT_EQ(ErrorNumber(number), outcome.exception.scode);
    EXPECT_EQ(std::wstring(source), automation::Bstr(outcome.exception.bstrSource).str());
    EXPECT_EQ(std::wstring(description), automation::Bstr(outcome.exception.bstrDescription).str());
}

TEST(DispatchErrors, SendDataWithoutSocket)
{
    TestSocket client;
    InvokeOutcome outcome{};
    InvokeMethod(client.get(), L"SendData", {Text(L"AB")}, outcome);
    ExpectException(outcome, 40006, L"CSocket.SendData",
                    L"Wrong protocol or connection state for the requested transaction or request.");
}

TEST(DispatchErrors, ConnectWithoutHost)
{
    TestSocket client;
    InvokeOutcome outcome{};
    InvokeMethod(client.get(), L"Connect", {}, outcome);
    ExpectException(outcome, 10049, L"CSocket.CSocket.Connect", L"Cannot assign requested address.");
}

TEST(DispatchErrors, ConnectToPortAbove65535)
{
    TestSocket client;
    InvokeOutcome outcome{};
    InvokeMethod(client.get(), L"Connect", {Text(L"127.0.0.1"), Long(70000)}, outcome);
    ExpectException(outcome, 6, L"CSocket.CSocket.Connect", L"Overflow");
}

} // namespace
} // namespace sockettest
