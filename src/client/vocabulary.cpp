#include "client/vocabulary.hpp"

namespace client {

const Name kHeaders("headers");
const Name kData("data");
const Name kBoundaryKeyword("boundary");
const Name kProxies("proxies");
const Name kToString("toString");
const Name kGet("get");

}  // namespace client
