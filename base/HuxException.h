// Exceptions of the message-bus library: a code and a wide message. The variant helpers throw
// HuxInvalidParameterException (code 1) for malformed message arguments.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class HuxException : public std::exception {
public:
    HuxException(int32_t code, std::wstring message) : m_code(code), m_message(std::move(message)) {}
    ~HuxException() override = default;
    int32_t GetCode() const { return m_code; }
    const std::wstring& GetMessage() const { return m_message; }
    const char* what() const noexcept override { return "HuxException"; }

private:
    int32_t m_code;
    std::wstring m_message;
};

class HuxInvalidParameterException : public HuxException {
public:
    explicit HuxInvalidParameterException(std::wstring message) : HuxException(1, std::move(message)) {}
    ~HuxInvalidParameterException() override = default;
};
