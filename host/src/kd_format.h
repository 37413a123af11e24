// printf-style formatting into a std::string, for the host's own use.
#pragma once

#include <cstdarg>
#include <string>

std::string kdFormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
