// Which Windows optional features each supported product needs.
#pragma once

#include <set>
#include <string_view>
#include <vector>

#include "requirements/os_facts.h"

namespace rolekit {

// Feature names, ordered by plain UTF-16 code-unit comparison (uppercase
// before lowercase, a prefix before its longer names). The names are views of
// the catalogue's constant data, so a set never owns or copies text.
using FeatureSet = std::set<std::wstring_view>;

// Product tokens cut from the argument, in the order they stand in it. They are
// views into the argument and live no longer than it does.
using ProductList = std::vector<std::wstring_view>;

// Cuts text into the runs between delimiter characters; runs of delimiters and
// delimiters at either end give no empty tokens. Nothing is trimmed.
ProductList SplitProducts(std::wstring_view text, std::wstring_view delimiters);

// The features needed by the comma-separated products in argument. Unknown
// tokens contribute nothing; the system is asked afresh for every known one.
FeatureSet ResolveFeatures(std::wstring_view argument, const OsFacts& os);

}  // namespace rolekit
