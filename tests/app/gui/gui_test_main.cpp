#include <gtest/gtest.h>

#include <QApplication>

// One QApplication for every window test, on the offscreen platform unless
// the caller chose another (a desktop, Xvfb).
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
