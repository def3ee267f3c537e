// Who could replace what runs, as the host reads it from the permissions of
// real Windows folders and files: their descriptors in SDDL, from Microsoft's
// documentation or published icacls / Get-Acl output of Windows (each cited),
// made binary by the system's own ConvertStringSecurityDescriptorToSecurity-
// DescriptorW. "(I)" in icacls is ID here, "(M)" 0x1301bf, "(RX)" 0x1200a9,
// "(AD)" 0x4; an inherited generic entry is split into an effective one with
// the rights mapped and an inherit-only one (Microsoft, "ACE inheritance
// rules").
#include "service/exposure.h"  // before <windows.h>, whose macros take the platform's names

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

TEST(ExposureContract, FindsWhatOrdinaryUsersCouldReplace) {
    // AU Authenticated Users, BU Users, WD Everyone, SY SYSTEM, BA Administrators.
    const struct {
        const char* what;
        bool directory;
        const wchar_t* sddl;
        const char* found;  // "<group> 0x<rights>; " each
    } cases[] = {
        // clang-format off
        // C:\ on Windows 10: the DISA STIG's icacls text (stigviewer.com, V-220717), and the
        // (S,AD) form of a real machine (mitre/microsoft-windows-10-stig-baseline).
        {"C:\\ on Windows 10", true, L"D:PAI(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)(A;OICIIO;SDGXGWGR;;;AU)(A;OICI;FA;;;SY)", ""},
        {"C:\\ with (S,AD)", true, L"D:PAI(A;;0x100004;;;AU)(A;OICIIO;SDGXGWGR;;;AU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", ""},
        // A folder made directly under C:\ and the exe in it: icacls of c:\k and
        // c:\k\nssm.exe in github.com/Azure/aks-engine/pull/4633.
        {"a folder made in C:\\", true, L"D:AI(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)", "Authenticated Users 0x10000; "},
        {"the exe in it", false, L"D:AI(A;ID;0x1301bf;;;AU)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)(A;ID;FA;;;BA)", "Authenticated Users 0x10006; "},
        // C:\Program Files on Windows 10 (STIG V-254252's icacls text), and what a
        // folder and an exe under it inherit from it.
        {"Program Files", true, L"D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)(A;OICIIO;GXGR;;;S-1-15-2-1)", ""},
        {"a folder under Program Files", true, L"D:AI(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)", ""},
        {"an exe there", false, L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;S-1-15-2-1)", ""},
        // XP's C:\ (cacls of XP and Server 2003 roots: Users read, create folders on it, create
        // files below it; CREATOR OWNER; Everyone read), and a folder made in it.
        {"C:\\ on XP", true, L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;BU)(A;CIIO;0x2;;;BU)(A;;0x1200a9;;;WD)", ""},
        {"a folder made in C:\\ on XP", true, L"D:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x4;;;BU)(A;CIID;0x2;;;BU)", ""},
        // Power Users may modify what XP's Program Files holds (Microsoft, KB 825069).
        {"a folder under Program Files on XP", true, L"D:AI(A;ID;0x1200a9;;;BU)(A;ID;0x1301bf;;;PU)(A;OICIIOID;SDGXGWGR;;;PU)(A;ID;FA;;;BA)(A;ID;FA;;;SY)", "Power Users 0x10000; "},
        // The root of a second NTFS volume on Windows 10 (Get-Acl in PowerShell/Win32-OpenSSH#1724).
        {"D:\\ on Windows 10", true, L"D:(A;OICIIO;SDGXGWGR;;;AU)(A;;0x1301bf;;;AU)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;BA)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)", "Authenticated Users 0x10000; "},
        // No permissions kept, as on a FAT volume: a null DACL ("D:NO_ACCESS_CONTROL" on
        // Windows; Wine makes an empty one of it).
        {"a null DACL", true, nullptr, "Everyone 0x10000000; "},
        {"an entry only for what it holds", true, L"D:(A;OICIIO;FA;;;WD)(A;;FA;;;SY)", ""},
        // Each ordinary group, and groups that are not (Administrators, Domain Admins, CREATOR
        // OWNER, a denied right).
        {"each group", true, L"D:(A;;GA;;;WD)(A;;GW;;;AN)(A;;WD;;;IU)(A;;WO;;;BG)(A;;0x40;;;BU)(A;;0x10002;;;S-1-5-21-1004336348-1177238915-682003330-513)(A;;FA;;;S-1-5-21-1004336348-1177238915-682003330-512)(A;;FA;;;CO)(D;;FA;;;AU)", "Everyone 0x10000000; Users 0x40; Interactive 0x40000; Anonymous Logon 0x40000000; Guests 0x80000; Domain Users 0x10000; "},
        {"each group on a file", false, L"D:(A;;0x6;;;IU)(A;;FA;;;BA)(A;;0x10006;;;S-1-5-21-1-2-3-513)", "Interactive 0x6; Domain Users 0x10006; "},
        // clang-format on
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(!c.sddl || (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                    c.sddl, SDDL_REVISION_1, &descriptor, nullptr) &&
                                GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)))
            << c.what << ": error " << GetLastError();
        std::string found;
        for (int group = 0; group < kOrdinaryGroups; ++group) {
            const auto* acl = reinterpret_cast<const platform::ACL*>(present ? dacl : nullptr);
            if (const unsigned rights = ReplacingRights(acl, c.directory, group)) {
                char text[16];
                std::snprintf(text, sizeof text, " 0x%x; ", rights);
                for (const char16_t* n = OrdinaryGroupName(group); *n != 0; ++n)
                    found += static_cast<char>(*n);
                found += text;
            }
        }
        EXPECT_EQ(c.found, found) << c.what;
        LocalFree(descriptor);
    }
}
