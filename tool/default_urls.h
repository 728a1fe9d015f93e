// Built-in endpoints for an agent whose configuration names none.
#pragma once

constexpr const char* kDefaultManagementUrl = "http://mgmt.orvix.example/agent/v1/";
constexpr const char* kDefaultEventUrl = "https://events.orvix.example/event/";
constexpr const char* kDefaultHealthUrl = "https://health.orvix.example/health";
