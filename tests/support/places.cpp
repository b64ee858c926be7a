#include "tests/support/places.h"

#include <cmath>
#include <cstring>

QRect ControlPlace::pixels() const {
    const auto px = [](int twips) { return int(std::lround(twips / 15.0)); };
    return {px(left), px(top), px(width), px(height)};
}

const std::vector<ControlPlace> &controlPlaces() {
    static const std::vector<ControlPlace> all{
        {"Label1", 720, 165, 615, 255},
        {"Combo1", 1200, 120, 1335, 300, true}, // serial port
        {"spDTR", 2520, 120, 405, 240},         // the lamp
        {"Label2", 480, 555, 630, 210},
        {"Combo2", 1200, 480, 1335, 300, true}, // original address
        {"Label10", 2640, 480, 3630, 180},
        {"Label7", 480, 915, 630, 210},
        {"Combo8", 1200, 840, 1335, 300, true}, // new address
        {"RichTextBox1", 3240, 720, 3135, 1695},
        {"Label3", 720, 1260, 615, 375},
        {"Combo3", 1200, 1200, 1335, 300, true},
        {"Label4", 120, 1665, 1050, 210},
        {"Combo4", 1200, 1560, 1335, 300, true},
        {"Label5", 120, 2010, 1050, 210},
        {"Combo5", 1200, 1920, 1335, 300, true},
        {"Label8_0", 240, 2355, 840, 210},
        {"Combo6", 1200, 2280, 1335, 300, true},
        {"Command6", 3240, 2520, 3135, 375}, // 设置（原地址）初始显示信息
        {"Label8_1", 240, 2715, 840, 210},
        {"Combo7", 1200, 2640, 1335, 300, true},
        {"Command1", 240, 3000, 1335, 375},  // 修改设置
        {"Command2", 1800, 3000, 2295, 375}, // 重启(原地址)控制卡
        {"RichTextBox2", 240, 3600, 6135, 855},
        {"Command7", 360, 4515, 3015, 375},  // 发送（原地址）显示信息
        {"Command3", 4000, 4515, 1935, 375}, // 退     出
        {"Label6", 240, 4965, 4335, 180},
    };
    return all;
}

const ControlPlace &controlPlace(const char *name) {
    static const ControlPlace none{"", 0, 0, 0, 0};
    for (const ControlPlace &place : controlPlaces())
        if (std::strcmp(place.name, name) == 0)
            return place;
    return none;
}
