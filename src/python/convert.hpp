#pragma once
// Conversions of single Python values into the records' field types. Each
// raises TypeError (wrong kind of value) or OverflowError (integer out of
// range) through py::error_already_set.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarnel::python {

namespace py = pybind11;

// Anything Python converts to float, narrowed to f32.
float to_f32(py::handle value);

// Integers and objects with __index__; a float is a TypeError.
std::uint64_t to_u64(py::handle value);
std::uint32_t to_u32(py::handle value);
std::int32_t to_i32(py::handle value);

// True or False, NumPy booleans included; an int such as 1 is a TypeError.
bool to_switch(py::handle value);

// None, or a value as for to_u64.
std::optional<std::uint64_t> to_optional_u64(py::handle value);

// A str (subclasses included), as UTF-8.
std::string to_text(py::handle value);

// None (empty), or a sequence of str that is not itself a str.
std::vector<std::string> to_text_list(py::handle value);

// The items of a sequence in a tuple that holds them, so that a loop over it
// stays valid whatever Python code its conversions run does to the original
// (a list that an element's __float__ shortens, say). A tuple is its own snapshot.
py::tuple snapshot(py::handle sequence);

// Python's own str.lower() applied to a str (TypeError for anything else), as UTF-8.
std::string lower_text(py::handle text);
std::string lower_text(const std::string& text);

}  // namespace quarnel::python
