// Natively the boundary leaves errors alone: the caller gets the C++
// exception, after the call has been unwound.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "plugin/boundary.h"

namespace {

TEST(BoundaryNativeTest, ErrorsPassThroughUnchanged) {
  bool released = false;
  struct Temporary {
    bool* released;
    ~Temporary() { *released = true; }
  };
  EXPECT_THROW(velmora::AtBoundary([&] {
                 Temporary temporary{&released};
                 throw std::bad_alloc();
               }),
               std::bad_alloc);
  EXPECT_TRUE(released);
  EXPECT_THROW(velmora::AtBoundary([] { throw std::length_error("x"); }), std::length_error);
  EXPECT_THROW(velmora::AtBoundary([] { throw 42; }), int);
}

TEST(BoundaryNativeTest, ResultsPassThrough) {
  EXPECT_STREQ(velmora::AtBoundary([] { return "x"; }), "x");
  int calls = 0;
  velmora::AtBoundary([&] { ++calls; });
  EXPECT_EQ(calls, 1);
}

}  // namespace
