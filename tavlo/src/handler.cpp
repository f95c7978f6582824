#include "tavlo/handler.h"

#include <utility>

namespace tavlo {

Handler::Handler(std::string identity, std::string topicFilter, int qos)
    : _log(log4cpp::Category::getInstance(identity)), _qos(qos), _identity(std::move(identity)),
      _topicFilter(std::move(topicFilter))
{}

Handler::~Handler() = default;

} // namespace tavlo
