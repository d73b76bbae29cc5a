#include <gtest/gtest.h>

#include "app/gui/icons.h"

namespace orvane {
namespace {

TEST(TIcons, StateImagesHaveTheListSize) {
  EXPECT_EQ(StateImage(TStateImage::PortWorking).size(), QSize(24, 24));
}

}  // namespace
}  // namespace orvane
