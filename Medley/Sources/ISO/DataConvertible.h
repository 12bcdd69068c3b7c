#pragma once
// A value with a wire form: reading `data()` gives its bytes, `setData()` parses them.
#include "Medley/Sources/Extension/Data.h"

namespace medley {

class DataConvertible {
 public:
  virtual ~DataConvertible() = default;
  virtual Data data() const = 0;
  virtual void setData(const Data& data) = 0;

 protected:
  DataConvertible() = default;
  DataConvertible(const DataConvertible&) = default;
  DataConvertible& operator=(const DataConvertible&) = default;
};

}  // namespace medley
