// The demonstration program end to end: its echo, its trace and the two
// messages it leaves, also when the queue is full.
#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "logger/compose.h"
#include "logger/logger.h"
#include "sandbox.h"
#include "shared_data.h"
#include "testbed.h"

extern "C" void c_caller_posts(void);

namespace {

using bed::Output;

const std::string kFull = "Resource temporarily unavailable :mq_send()[Log_Send]\n";

class Demo : public bed::Test {};

TEST_F(Demo, EchoesTracesAndLeavesTwoMessages) {
    Output demo = bed::run({"tembra-demo"});
    EXPECT_EQ(demo.status, 0);
    auto [debug, info] = bed::demo_lines(demo);
    EXPECT_EQ(demo.err, "LogLine: " + debug + " 53" + "LogLine: " + info + " 45");

    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].bytes, debug);
    EXPECT_EQ(queued[0].priority, 1u);
    EXPECT_EQ(queued[1].bytes, info);
    EXPECT_EQ(queued[1].priority, 0u);
    EXPECT_EQ(bed::log_contents(), "") << "posting never writes the file";
}

TEST_F(Demo, FullQueueLosesTheLinesButStillEchoesAndTraces) {
    for (int run = 0; run < 5; ++run) ASSERT_EQ(bed::run({"tembra-demo"}).err.find("mq_send"), std::string::npos);
    EXPECT_EQ(bed::pending(), 10);
    Output sixth = bed::run({"tembra-demo"});
    EXPECT_EQ(sixth.status, 0);
    auto [debug, info] = bed::demo_lines(sixth);
    EXPECT_EQ(sixth.err, "LogLine: " + debug + " 53" + kFull + "LogLine: " + info + " 45" + kFull);
    EXPECT_EQ(bed::pending(), 10);
}

}  // namespace
