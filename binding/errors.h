#pragma once

// Cold throwers for the argument checks the binding makes, each with its
// fixed message. The core's own messages are built in sampler/errors.

#include <string>

namespace vornlib::binding::errors {

// A dictionary key whose text names no allowed type.
[[noreturn]] void invalid_type(const std::string& text, const std::string& label);
// An array with another number of dimensions than ndim.
[[noreturn]] void wrong_dimensions(const std::string& name, int ndim);
// A non-empty array whose dtype is not int64.
[[noreturn]] void not_int64(const std::string& name);

[[noreturn]] void invalid_entity_table(const std::string& entity_table);
[[noreturn]] void mode_conflict(const std::string& key);
[[noreturn]] void window_without_time(const std::string& key, const std::string& source_type);
[[noreturn]] void window_not_pairs(const std::string& key);
[[noreturn]] void already_sampling();

}  // namespace vornlib::binding::errors
