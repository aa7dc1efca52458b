// Root of the system's exception classes. Every failure the service raises carries a message
// and answers its class name, because log and error texts print the class name.
#pragma once

#include <exception>
#include <string>

namespace pelmar {

class Exception : public std::exception {
 public:
  explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
  ~Exception() override = default;

  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string Value) { FMessage = std::move(Value); }
  // The described class name ("Exception", "EChannelError", ...).
  virtual const char* ClassName() const { return "Exception"; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// Declares a class derived from Base that answers its own name.
#define PELMAR_EXCEPTION_CLASS(Name, Base)                   \
  class Name : public Base {                                 \
   public:                                                   \
    using Base::Base;                                        \
    const char* ClassName() const override { return #Name; } \
  }

// The run-time library's classes that the system's texts rely on.
PELMAR_EXCEPTION_CLASS(EConvertError, Exception);  // a text that is not a number
PELMAR_EXCEPTION_CLASS(EListError, Exception);     // list index and order errors
// The silent abort: an operation was given up and has nothing to report.
PELMAR_EXCEPTION_CLASS(EAbort, Exception);
PELMAR_EXCEPTION_CLASS(EStreamError, Exception);      // memory stream failures
PELMAR_EXCEPTION_CLASS(EAssertionFailed, Exception);  // a broken internal assumption
PELMAR_EXCEPTION_CLASS(EVariantError, Exception);     // a variant that cannot be converted
PELMAR_EXCEPTION_CLASS(EOutOfMemory, Exception);      // an allocation that failed

// An operating-system failure with the system's message and error number.
class EOSError : public Exception {
 public:
  EOSError(std::string Message, int ErrorCode)
      : Exception(std::move(Message)), FErrorCode(ErrorCode) {}
  const char* ClassName() const override { return "EOSError"; }
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// Raises EOSError for errno value Err, with the system's text ("System error. Code: 2. No such
// file or directory").
[[noreturn]] void RaiseLastOSError(int Err);

// The system's text for errno value Err ("No such file or directory").
std::string SysErrorMessage(int Err);

}  // namespace pelmar
