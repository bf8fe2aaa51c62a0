#include "host/SimpleMedium.h"

namespace pelmo::streamer {

const char* SimplePropertyMap::get(const char* key) const {
    if (key == nullptr) {
        return nullptr;
    }
    auto it = values.find(key);
    return it == values.end() ? nullptr : it->second.c_str();
}

const PropertyMap* SimpleMedium::getProperties() const {
    return properties.empty() ? nullptr : &properties;
}

void SimpleMedium::setProperty(const char* key, const char* value) {
    if (key != nullptr) {
        properties.set(key, value != nullptr ? value : "");
    }
}

}  // namespace pelmo::streamer
