// Symbol visibility of the host library. The plugin is built with hidden visibility, so every
// host class and function it uses must say explicitly that it belongs to libkorviad.
#pragma once

#define KD_EXPORT __attribute__((visibility("default")))
