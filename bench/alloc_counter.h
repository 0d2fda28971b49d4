// Counts the bytes the whole benchmark binary allocates with operator new.
#pragma once

#include <cstddef>

std::size_t allocated_bytes();
