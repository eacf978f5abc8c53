#include "raw/DataStream.h"

namespace vorn {

DataStream::~DataStream() = default;

}  // namespace vorn
