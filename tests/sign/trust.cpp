// What WinVerifyTrust says of each file named: Authenticode under the
// default policy, revocation not checked; its result in hex, a line each.
// "--root FILE" first puts that certificate (DER) into the machine's trusted
// roots, as an administrator does for a private root.
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    if (argc > 2 && std::wstring(argv[1]) == L"--root") {
        HANDLE file =
            CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        BYTE der[8192];
        DWORD size = 0;
        ReadFile(file, der, sizeof der, &size, nullptr);
        CloseHandle(file);
        HCERTSTORE roots =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (!CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der, size,
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return std::printf("the root cannot be added: error %lu\n", GetLastError()), 1;
        CertCloseStore(roots, 0);
        first = 3;
    }
    for (int i = first; i < argc; ++i) {
        WINTRUST_FILE_INFO file = {sizeof file, argv[i], nullptr, nullptr};
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
        std::printf("0x%08lx\n", static_cast<unsigned long>(result));
    }
    return 0;
}
