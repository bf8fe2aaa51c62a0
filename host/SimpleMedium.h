// A plain medium for hosts and tests: a path, a property map and the two flags.
#pragma once

#include <map>
#include <string>

#include "host/ErrorReport.h"
#include "host/Medium.h"

namespace pelmo::streamer {

class SimplePropertyMap : public PropertyMap {
public:
    const char* get(const char* key) const override;
    void set(const std::string& key, const std::string& value) { values[key] = value; }
    bool empty() const { return values.empty(); }

private:
    std::map<std::string, std::string> values;
};

class SimpleMedium : public Medium {
public:
    explicit SimpleMedium(std::string path = std::string()) : path(std::move(path)) {}

    const char* getPath() const override { return path.c_str(); }
    void setFlagB(int value) override { flagB = value; }
    void setFlagA(int value) override { flagA = value; }
    // Null until a property was set, as a medium without properties answers.
    const PropertyMap* getProperties() const override;
    void setProperty(const char* key, const char* value) override;

    void setPath(std::string newPath) { path = std::move(newPath); }
    int getFlagA() const { return flagA; }
    int getFlagB() const { return flagB; }

private:
    std::string path;
    SimplePropertyMap properties;
    int flagA = 0;
    int flagB = 0;
};

class SimpleErrorReport : public ErrorReport {
public:
    void setCode(int value) override { code = value; }
    void setMessage(const char* value) override { message = value != nullptr ? value : ""; }

    int getCode() const { return code; }
    const std::string& getMessage() const { return message; }

private:
    int code = 0;
    std::string message;
};

}  // namespace pelmo::streamer
