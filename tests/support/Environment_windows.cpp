#include "support/Environment.h"

#include <cstdlib>

// The C runtime's copy of the environment, which getenv reads; an empty
// value removes the variable.
void SetEnvironmentVariable(const std::string& Name, const std::optional<std::string>& Value) {
  _putenv_s(Name.c_str(), Value ? Value->c_str() : "");
}

std::optional<std::string> EnvironmentVariable(const std::string& Name) {
  const char* Value = std::getenv(Name.c_str());
  return Value != nullptr ? std::optional<std::string>(Value) : std::nullopt;
}
