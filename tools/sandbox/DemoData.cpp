#include "DemoData.h"

#include <chrono>
#include <cstdio>

namespace sandbox {
namespace {

std::chrono::year_month_day dayFromToday(int offset)
{
    using namespace std::chrono;
    return year_month_day{floor<days>(system_clock::now()) + days{offset}};
}

// pattern takes year, month and day in that order, or day, month, year when dayFirst.
std::string dueDate(int offset, const char *pattern, bool dayFirst = false)
{
    const auto date = dayFromToday(offset);
    const int year = int(date.year());
    const unsigned month = unsigned(date.month());
    const unsigned day = unsigned(date.day());
    char text[64];
    if (dayFirst) {
        std::snprintf(text, sizeof text, pattern, day, month, year);
    } else {
        std::snprintf(text, sizeof text, pattern, year, month, day);
    }
    return text;
}

Json file(std::int64_t id, const std::string &name, Json size, Json lock = {{"locked", false}})
{
    return Json{{"id", id},
                {"name", name},
                {"size", std::move(size)},
                {"url", ""},
                {"lock", std::move(lock)}};
}

Json addons(std::initializer_list<const char *> types)
{
    Json detailed = Json::array();
    for (const char *type : types) {
        detailed.push_back(Json{{"type", type}, {"quantity", 1}});
    }
    return Json{{"detailed", std::move(detailed)}};
}

Json channel(std::int64_t id, const char *name)
{
    return Json{{"id", id}, {"name", name}};
}

} // namespace

Json demoChannels(const std::string &origin)
{
    return Json::array({
        Json{{"id", 1},
             {"name", "Kitchen Table Cooking"},
             {"avatar_url", origin + "/static/avatars/1.png"}},
        Json{{"id", 2}, {"name", "Trail Runner Diaries"}, {"avatar_url", nullptr}},
        Json{{"id", 3}, {"name", "Pixel Workshop"}},
    });
}

std::vector<Json> demoProjects()
{
    const Json cooking = channel(1, "Kitchen Table Cooking");
    const Json running = channel(2, "Trail Runner Diaries");
    const Json pixels = channel(3, "Pixel Workshop");
    std::vector<Json> projects;
    projects.push_back({{"id", 101},
                        {"title", "Spring Garden Tour"},
                        {"status", "completed"},
                        {"due_date", dueDate(-20, "%04d-%02u-%02uT12:00:00.000000Z")},
                        {"channel", cooking},
                        {"no_video", 0},
                        {"addons", addons({"thumbnail"})},
                        {"files", Json::array({file(5001, "garden-a-roll.mp4", 734003200),
                                               file(5002, "garden-b-roll.mov", 268435456)})}});
    projects.push_back({{"id", 102},
                        {"title", "Sourdough Basics"},
                        {"status", "in_progress"},
                        {"due_date", dueDate(-1, "%04d-%02u-%02u")},
                        {"channel", cooking},
                        {"no_video", 0},
                        {"addons", addons({"thumbnail", "reformatting"})},
                        {"files", Json::array({file(5003, "starter.mp4", "1048576")})}});
    projects.push_back({{"id", 103},
                        {"title", "Ultra Trail Recap"},
                        {"status", "in_progress"},
                        {"due_date", dueDate(0, "%02u/%02u/%04d", true)},
                        {"channel", running},
                        {"no_video", 0},
                        {"addons", addons({"video_editing"})},
                        {"files", Json::array({file(5004, "ridge.MP4", 2147483648LL),
                                               file(5005, "summit.mp4", "12 MB")})}});
    projects.push_back({{"id", 104},
                        {"title", "Gear Review: Running Vests"},
                        {"status", "in_review"},
                        {"due_date", dueDate(1, "%04d-%02u-%02uT09:30:00.000Z")},
                        {"channel", running},
                        {"no_video", 1},
                        {"addons", addons({"Thumbnail"})},
                        {"files", Json::array({file(5006, "vests.png", 12.9)})}});
    projects.push_back({{"id", 105},
                        {"title", "Night Run Shorts"},
                        {"status", "new"},
                        {"due_date", dueDate(3, "%04d-%02u-%02uT18:00:00+02:00")},
                        {"channel", running},
                        {"no_video", true},
                        {"addons", addons({"reformatting"})},
                        {"files", Json::array()}});
    projects.push_back({{"id", 106},
                        {"title", "Pixel Art Speedrun"},
                        {"status", "in_progress"},
                        {"due_date", dueDate(7, "%04d-%02u-%02uT08:00:00+0200")},
                        {"channel", pixels},
                        {"no_video", 0},
                        {"addons", addons({"thumbnail", "video_editing"})},
                        {"files", Json::array({file(5007, "speedrun.mkv", 5368709120LL,
                                                    Json{{"locked", true}})})}});
    projects.push_back({{"id", 107},
                        {"title", "Retro Console Teardown"},
                        {"status", "new"},
                        {"due_date", nullptr},
                        {"channel", pixels},
                        {"no_video", 0},
                        {"addons", addons({})},
                        {"files", Json::array()}});
    projects.push_back(
        {{"id", 108}, {"title", "Weekly Q&A"}, {"status", "new"}, {"files", Json::array()}});
    projects.push_back(
        {{"id", 109},
         {"title", "Meal Prep for Runners"},
         {"status", "in_progress"},
         {"due_date", dueDate(14, "%04d-%02u-%02uT00:00:00Z")},
         {"channel", cooking},
         {"no_video", 0},
         {"addons", addons({"thumbnail", "reformat"})},
         {"files", Json::array({file(5008, "prep.mp4", 104857600, Json{{"locked", 1}})})}});
    projects.push_back(
        {{"id", 110},
         {"title", "Channel Trailer"},
         {"status", "new"},
         {"due_date", dueDate(30, "%04d-%02u-%02uT12:00:00.123456Z")},
         {"channel", pixels},
         {"no_video", 0},
         {"addons", addons({"thumbnail", "video_editing", "reformatting", "color_grading"})},
         {"files", Json::array()}});
    projects.push_back({{"id", 111},
                        {"title", "Behind the Scenes"},
                        {"status", "in_review"},
                        {"due_date", dueDate(2, "%02u/%02u/%04d", true)},
                        {"channel", cooking},
                        {"no_video", 1},
                        {"addons", addons({"thumbnail"})},
                        {"files", Json::array({file(5009, "bts-01.mp4", "-"),
                                               file(5010, "bts-02.mp4", 52428800)})}});
    projects.push_back({{"id", 112},
                        {"title", "Studio Tour"},
                        {"status", "new"},
                        {"due_date", dueDate(5, "%04d-%02u-%02u")},
                        {"channel", pixels},
                        {"no_video", 0},
                        {"addons", addons({"video_editing"})},
                        {"files", Json::array()}});
    for (Json &project : projects) {
        project["notes_for_editor"] = "";
        project["created_at"] = dueDate(-30, "%04d-%02u-%02uT10:00:00Z");
    }
    return projects;
}

} // namespace sandbox
