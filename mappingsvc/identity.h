// Names under which the mapping service is known to COM and to the service control manager.
#pragma once

#include <windows.h>

namespace mappingsvc {

constexpr wchar_t kClsidString[] = L"{50711FB4-E85E-405B-A16D-D192832636A7}";
constexpr wchar_t kAppIdString[] = L"{B45A1334-50BD-4226-BAF7-67361DB9ACC0}";
constexpr wchar_t kClassName[] = L"CZarnMMFSupport Object";
constexpr wchar_t kProgId[] = L"MappingSvc.ZarnMMFSupport.1";
constexpr wchar_t kVersionIndependentProgId[] = L"MappingSvc.ZarnMMFSupport";
constexpr wchar_t kAppIdName[] = L"MappingSvc";          // default value of the AppID key
constexpr wchar_t kAppIdExeKey[] = L"MappingSvc.EXE";    // AppID\<exe>: "AppID" names the identifier
// The service name and display name; also string 101 of the executable.
constexpr wchar_t kServiceName[] = L"Quib Tovrel Service";
constexpr wchar_t kServiceDependencies[] = L"RPCSS\0";  // double-null-terminated list

}  // namespace mappingsvc
