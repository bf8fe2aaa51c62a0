// Test helper: clips of the demo broadcast that the build generates.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/air/AirClip.h"

inline const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/";

inline std::shared_ptr<const AirClip> load(const std::string& path) {
    std::string error;
    auto clip = AirClip::load(path, 0, error);
    EXPECT_TRUE(clip) << error;
    return clip;
}
