#include "support/Environment.h"

#include <cstdlib>

void SetEnvironmentVariable(const std::string& Name, const std::optional<std::string>& Value) {
  if (Value)
    setenv(Name.c_str(), Value->c_str(), 1);
  else
    unsetenv(Name.c_str());
}

std::optional<std::string> EnvironmentVariable(const std::string& Name) {
  const char* Value = std::getenv(Name.c_str());
  return Value != nullptr ? std::optional<std::string>(Value) : std::nullopt;
}
