#pragma once

#include <optional>
#include <string>

// Sets a variable of this process's environment, or removes it with nullopt.
void SetEnvironmentVariable(const std::string& Name, const std::optional<std::string>& Value);

// The variable's value, nullopt when it is not set.
std::optional<std::string> EnvironmentVariable(const std::string& Name);
