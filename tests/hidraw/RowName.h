// Names each row of a parameterised table after its `name`.
#pragma once

#include <string>

namespace kestro::hidraw::testing {

struct RowName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

}  // namespace kestro::hidraw::testing
