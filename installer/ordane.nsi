; Ordane's installer: all users, Program Files (x86), Simplified Chinese. Built by CMake (target
; "setup") with -DVERSION, -DPUBLISHER, -DBINDIR (Ordane.exe, ordane_setup_tool.exe), -DRESDIR,
; -DOUTFILE, -DSIGN_SCRIPT (signs a file in place) when the release is signed, and -DARCH=x64
; for the 64-bit program: Program Files and the 64-bit registry view, the ones that program
; sees. That installer, and the uninstaller it writes, are 64-bit programs themselves (NSIS's
; amd64-unicode stub and plug-ins): Windows starts them on 64-bit Windows only.
;
; Silent mass deployment:  Ordane-<version>-setup.exe /S [/D=folder] [/NOAUTOSTART] [/RUN]
;                          [/BRIDGE_ORIGINS="origin ..."] [/BRIDGE_PORT=n] [/BRIDGELNA]
; Silent removal:          "<folder>\uninstall.exe" /S [/PURGE]
;                          (/PURGE also removes Setting.ini and the registration flag). It returns
;                          when the removal is done, with its exit code: uninstall.exe is the
;                          helper, which runs this script's uninstaller (uninstall-ordane.exe)
;                          from a copy in %TEMP% with _?=<folder> and waits for it.
; No plug-in at all, in the installer or the uninstaller: NSIS 3.08 makes its plug-in folder in
; C:\Windows\Temp and accepts one a user made there first (plugin_check.cmake fails a build whose
; makensis adds the plug-ins' initialising function). The helper runs with ExecWait from a
; folder made below Program Files (only administrators may make or change one there); the
; uninstaller finds it beside itself, in the folder only administrators and SYSTEM may enter that
; uninstall.exe made for it. The system account always runs silently.
; Exit codes: 0 done; 1 cancelled by the user; 2 aborted; 3 a running Ordane could not be
; closed; 4 a file could not be written; 5 the rights for standard users could not be set;
; 3010 done, Ordane.exe is replaced or deleted at the next restart (another program held it);
; 1618 another installation or removal of Ordane is in progress (still after 20 s); 9 Ordane is
; installed in another folder, or the other architecture's Ordane is installed (remove it first);
; 6 the folder could not be protected (or is a drive root, a system folder itself or in the
; Windows folder, ProgramData, Common Files or the users' profiles); 7 Windows older than Windows 7 SP1; 8 a folder
; above the chosen one may be renamed, re-permissioned or re-owned by someone not an administrator;
; 10 /BRIDGELNA with an http origin on a public address, which no browser policy can let through;
; 11 silent, and /D= asked for a folder NSIS found invalid and silently replaced by its default.
; 12 the folder exists and is not Ordane's to take: someone not an administrator may change it or
; what it holds, or it holds a subfolder, a link, a second name of a file or a name not Ordane's.
!ifndef ARCH
    !define ARCH x86
!endif
!if "${ARCH}" == "x64"
    Target amd64-unicode
!else
    Unicode true
!endif
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"
!include "WinVer.nsh"
!include "x64.nsh"

!if "${ARCH}" == "x64"
    !define PROGRAMS "$PROGRAMFILES64"
    !define REGVIEW 64
!else
    !define PROGRAMS "$PROGRAMFILES32"
    !define REGVIEW 32
!endif

!define PRODUCT "Ordane"
!define PRODUCT_CN "条码扫描仪/二代证Ordane"
!ifndef PUBLISHER
    !define PUBLISHER "Ordane"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ordane"
; The Windows event log's "Ordane" source: Ordane.exe holds its messages.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Ordane"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Velmar"
!define FLAG_KEY "Software\CardReader"
!define POLICY_KEY "SOFTWARE\Policies\Ordane"
!define MAIN_CLASS "OrdaneMainWindow"

!ifdef SIGN_SCRIPT
    ; The uninstaller is made inside makensis: signed before it is packed, the setup after. A
    ; signing that fails (or cannot be verified) fails the build.
    !uninstfinalize '"${SIGN_SCRIPT}" "%1"' = 0
    !finalize '"${SIGN_SCRIPT}" "%1"' = 0
!endif

Name "${PRODUCT_CN}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAMS}\Ordane"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Copyright (C) ${PUBLISHER}"

!define MUI_ICON "${RESDIR}/ordane.ico"
!define MUI_UNICON "${RESDIR}/ordane.ico"
!define MUI_ABORTWARNING
!define MUI_CUSTOMFUNCTION_ABORT AbortedOnAPage
!define MUI_COMPONENTSPAGE_NODESC

Var Helper     ; ordane_setup_tool.exe, where only administrators and SYSTEM may change it
Var HelperDir  ; the installer's folder for it below Program Files, removed at the end
Var Lock       ; held open while this installation or removal runs

; No page needs a plug-in (the welcome and finish pages and a custom page would unpack
; nsDialogs): what they said is on the folder page, and "start Ordane now" is a component.
!define MUI_DIRECTORYPAGE_TEXT_TOP "本程序将安装 ${PRODUCT_CN} ${VERSION}。如果 Ordane 正在运行，安装程序会先关闭它；原有的设置（Setting.ini）会保留。$\r$\n$\r$\n安装程序不包含、也不会覆盖二代证读卡器厂家的 sdtapi.dll：使用读卡器时，请把它（${REGVIEW} 位）复制到下面的文件夹，与 Ordane.exe 放在一起。请选择新的或以前安装 Ordane 的文件夹。"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

; --- Closing a running Ordane -------------------------------------------------------------
; A copy on this desktop is announced first; then the helper ends every copy of the installed
; Ordane.exe, in any session (a deployment tool's system account sees no clerk's window), and
; makes sure the file can be replaced before anything is changed. $0: 1 when nothing holds it,
; 2 when no Ordane runs but another program holds the file (a virus scanner, Explorer's preview):
; it is then replaced or deleted at the next restart (exit code 3010).
!macro CloseOrdane un
Function ${un}CloseOrdane
    StrCpy $0 0
    FindWindow $1 "${MAIN_CLASS}"
    ${If} $1 != 0
        MessageBox MB_OKCANCEL|MB_ICONINFORMATION "Ordane 正在运行，需要先关闭它才能继续。$\r$\n$\r$\n点击“确定”关闭 Ordane 并继续。" /SD IDOK IDOK close
        Return
    ${EndIf}
close:
    StrCpy $1 "error"
    !if "${un}" == ""
        ; The sessions whose copies end are kept for -RunWhenAsked, which starts them again.
        ExecWait '"$Helper" close "$INSTDIR\Ordane.exe" "$HelperDir\sessions"' $1
    !else
        ExecWait '"$Helper" close "$INSTDIR\Ordane.exe"' $1
    !endif
    ${If} $1 == 0
        StrCpy $0 1
    ${ElseIf} $1 == 32  ; ERROR_SHARING_VIOLATION
        DetailPrint "Ordane.exe 正被其他程序占用，重新启动后替换。"
        StrCpy $0 2
    ${Else}
        DetailPrint "Ordane 无法关闭（$1）。"
    ${EndIf}
FunctionEnd
!macroend
!insertmacro CloseOrdane ""
!insertmacro CloseOrdane "un."

; The auto-start value as Ordane itself writes it: the full path, quoted when it has a space.
Function AutoStartCommand
    StrCpy $0 "$INSTDIR\Ordane.exe"
    StrCpy $1 0
    ${Do}
        StrCpy $2 $0 1 $1
        ${If} $2 == ""
            Return
        ${EndIf}
        ${If} $2 == " "
            StrCpy $0 '"$0"'
            Return
        ${EndIf}
        IntOp $1 $1 + 1
    ${Loop}
FunctionEnd

Section "程序文件" SecProgram
    SectionIn RO
    SetShellVarContext all
    ; One installation per computer: a second one elsewhere (another /D=, the other
    ; architecture's, whose Run entry Windows starts too) would take over the first one's Run and
    ; uninstall entries, and the first one's removal would delete them. Refused with exit 9.
    ; Only 64-bit Windows has the other view: the 64-bit installer always runs there, the 32-bit
    ; one is told by the variable Windows sets for a 32-bit program on 64-bit Windows alone.
!if "${ARCH}" == "x64"
    SetRegView 32
    ReadRegStr $R3 HKLM "${UNINSTALL_KEY}" "InstallLocation"
!else
    ReadEnvStr $R3 PROCESSOR_ARCHITEW6432
    ${If} $R3 != ""
        SetRegView 64
        ReadRegStr $R3 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${EndIf}
!endif
    SetRegView ${REGVIEW}
    ReadRegStr $R4 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    StrCpy $R5 ""
    ${If} $R3 != ""
        StrCpy $R5 $R3
    ${ElseIf} $R4 != ""
    ${AndIf} $R4 != $INSTDIR  ; StrCmp: letter case does not count
        StrCpy $R5 $R4
    ${EndIf}
    ${If} $R5 != ""
        SetErrorLevel 9
        Abort "Ordane 已经安装在 $R5：请先卸载它，或安装到同一个文件夹。"
    ${EndIf}
    ; /BRIDGELNA cannot help an http page on a public address: refused before anything changes.
    Call BridgeLnaOrigins
    ${If} $R6 == 1
        StrCpy $1 "error"
        ExecWait '"$Helper" lna-check "$R7"' $1
        ${If} $1 == 536870914
            DetailPrint "浏览器接口允许的网址中有公网地址上的 http 网址（$R7）：浏览器不允许这样的网页连接本机，任何策略都不能改变。"
            SetErrorLevel 10
            Abort "/BRIDGELNA 不能用于公网地址上的 http 网址：请改用 https 网址。"
        ${ElseIf} $1 != 0
            DetailPrint "无法检查浏览器接口允许的网址（$1）。"
            SetErrorLevel 2
            Abort "无法检查浏览器接口允许的网址。"
        ${EndIf}
    ${EndIf}
    ; Wherever it is, the folder gets rights of its own: a new one from the moment it exists; an
    ; existing one only when it is protected already and holds only Ordane's files (else exit 12,
    ; before a running Ordane is closed or anything written). The folders above it must be ones
    ; only administrators may rename or re-permission: else anyone could put another Ordane.exe
    ; where the machine-wide Run entry and the next removal (as SYSTEM) look for it.
    StrCpy $1 "error"
    ExecWait '"$Helper" protect "$INSTDIR"' $1
    ${If} $1 == 536870913
        DetailPrint "$INSTDIR 上层的文件夹可被非管理员改名或改权限。"
        SetErrorLevel 8
        Abort "不能安装到 $INSTDIR：它上层的文件夹可被非管理员改名或改权限。请选择其他文件夹。"
    ${ElseIf} $1 == 536870916
        DetailPrint "$INSTDIR 已存在，但不是受保护的 Ordane 文件夹（可被非管理员修改，或有 Ordane 以外的文件或子文件夹）。"
        SetErrorLevel 12
        Abort "不能安装到已有的文件夹 $INSTDIR：它可被非管理员修改，或有 Ordane 以外的内容。请选择新的文件夹。"
    ${ElseIf} $1 != 0
        DetailPrint "无法保护文件夹 $INSTDIR（$1）。"
        SetErrorLevel 6
        Abort "无法保护文件夹 $INSTDIR：请选择其他文件夹。"
    ${EndIf}
    Call CloseOrdane
    StrCpy $R9 $0
    ${If} $0 == 0
        SetErrorLevel 3
        Abort "Ordane 没有关闭，安装已取消。"
    ${EndIf}
    ; A removal just before that ended with 3010 left this folder and its Ordane.exe to be
    ; deleted, by name, at the next restart: taken back, or that restart would delete the
    ; Ordane.exe written now.
    StrCpy $1 "error"
    ExecWait '"$Helper" take-back-deletions "$INSTDIR"' $1
    ${If} $1 != 0
        DetailPrint "无法取消上次卸载留待重新启动时执行的删除（$1）。"
        SetErrorLevel 4
        Abort "无法取消上次卸载留待重新启动时对 $INSTDIR 的删除，安装已取消。"
    ${EndIf}

    SetOutPath "$INSTDIR"
    ClearErrors
    ; Made anew, the files take the folder's rights rather than keeping what an earlier copy had.
    ; An Ordane.exe another program holds is replaced at the next restart.
    ${If} $R9 == 2
        Delete "$INSTDIR\Ordane.exe.new"
        File "/oname=Ordane.exe.new" "${BINDIR}/Ordane.exe"
        Rename /REBOOTOK "$INSTDIR\Ordane.exe.new" "$INSTDIR\Ordane.exe"
    ${Else}
        Delete "$INSTDIR\Ordane.exe"
        File "${BINDIR}/Ordane.exe"
    ${EndIf}
    Delete "$INSTDIR\uninstall.exe"
    Delete "$INSTDIR\uninstall-ordane.exe"
    File "/oname=uninstall.exe" "${BINDIR}/ordane_setup_tool.exe"
    WriteUninstaller "$INSTDIR\uninstall-ordane.exe"
    ; Kept on upgrade; on a first installation an empty file that the first OK of the settings
    ; dialog fills (Ordane then asks "初次使用请设置端口").
    ${IfNot} ${FileExists} "$INSTDIR\Setting.ini"
        FileOpen $0 "$INSTDIR\Setting.ini" w
        FileClose $0
    ${EndIf}
    ${If} ${Errors}
        SetErrorLevel 4
        Abort "无法写入 $INSTDIR。"
    ${EndIf}

    ; Registered as soon as the files are there: a step that fails after this leaves an
    ; installation its uninstall.exe can remove, never files without an entry.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_CN}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Ordane.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\Ordane.exe"
    WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7  ; error, warning, information
    ; The size of the three program files in KB (GetSize would need the System plug-in).
    StrCpy $0 0
    ClearErrors
    ${ForEach} $3 1 3 + 1
        ${If} $3 == 1
            StrCpy $2 "$INSTDIR\Ordane.exe"
        ${ElseIf} $3 == 2
            StrCpy $2 "$INSTDIR\uninstall.exe"
        ${Else}
            StrCpy $2 "$INSTDIR\uninstall-ordane.exe"
        ${EndIf}
        FileOpen $1 $2 r
        ${IfNot} ${Errors}
            FileSeek $1 0 END $2
            FileClose $1
            IntOp $0 $0 + $2
        ${EndIf}
        ClearErrors
    ${Next}
    IntOp $0 $0 / 1024
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

    ; A standard user's Ordane writes Setting.ini and the registration flag itself.
    StrCpy $1 "error"
    ExecWait '"$Helper" file "$INSTDIR\Setting.ini"' $1
    StrCpy $2 "error"
    ExecWait '"$Helper" key "${FLAG_KEY}"' $2
    ${If} $1 != 0
    ${OrIf} $2 != 0
        DetailPrint "无法为普通用户开放 Setting.ini 或注册表项的写入权限（$1 / $2）。"
        SetErrorLevel 5
        Abort "无法为普通用户开放写入权限。"
    ${EndIf}

    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Ordane.exe" "" "$INSTDIR\Ordane.exe" 0

SectionEnd

Section "开机自动启动" SecAutoStart
    SetRegView ${REGVIEW}
    Call AutoStartCommand
    WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" $0
SectionEnd

; Started at the end as the user who is logged on, with that user's ordinary rights. Off when
; silent, where /RUN asks for it.
Section "立即启动 Ordane" SecRunNow
SectionEnd

Section "-AutoStartOff"
    SetRegView ${REGVIEW}
    ${IfNot} ${SectionIsSelected} ${SecAutoStart}
        DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
SectionEnd

; $R6 1 when /BRIDGELNA was given, $R7 the bridge's origins it is for: /BRIDGE_ORIGINS, or
; those already in the policy key.
Function BridgeLnaOrigins
    SetRegView ${REGVIEW}
    ${GetParameters} $R0
    StrCpy $R6 0
    ClearErrors
    ${GetOptions} $R0 "/BRIDGELNA" $R7
    ${IfNot} ${Errors}
        StrCpy $R6 1
    ${EndIf}
    ClearErrors
    ${GetOptions} $R0 "/BRIDGE_ORIGINS=" $R7
    ${If} ${Errors}
        ReadRegStr $R7 HKLM "${POLICY_KEY}\BRIDGE" "Origins"
    ${EndIf}
    ClearErrors
FunctionEnd

; Browser bridge for silent roll-outs: /BRIDGE_ORIGINS="origin ..." [/BRIDGE_PORT=n] turn it on
; in the policy key, which only administrators may write (an installed Ordane ignores [BRIDGE]
; in Setting.ini, which every user may write). Before -RunWhenAsked: Ordane reads it at start-up.
Section "-BrowserBridge"
    SetRegView ${REGVIEW}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/BRIDGE_ORIGINS=" $R1
    IfErrors 0 +2
    StrCpy $R1 ""
    ClearErrors
    ${GetOptions} $R0 "/BRIDGE_PORT=" $R2
    IfErrors 0 +2
    StrCpy $R2 ""
    ${If} $R1 != ""
    ${OrIf} $R2 != ""
        WriteRegStr HKLM "${POLICY_KEY}\BRIDGE" "Enabled" "1"
        ${If} $R1 != ""
            WriteRegStr HKLM "${POLICY_KEY}\BRIDGE" "Origins" $R1
        ${EndIf}
        ${If} $R2 != ""
            WriteRegStr HKLM "${POLICY_KEY}\BRIDGE" "Port" $R2
        ${EndIf}
    ${EndIf}
    ; /BRIDGELNA: Chrome and Edge let the bridge's https pages reach it without asking
    ; (LocalNetworkAccessAllowedForUrls); what is written is recorded for the removal.
    Call BridgeLnaOrigins
    ${If} $R6 == 1
        StrCpy $1 "error"
        ExecWait '"$Helper" lna-grant "$R7"' $1
        ${If} $1 != 0
            DetailPrint "无法写入浏览器的本地网络访问策略（$1）。"
            SetErrorLevel 2
            Abort "无法写入浏览器的本地网络访问策略。"
        ${EndIf}
    ${EndIf}
SectionEnd

; Ordane again in every session where the upgrade closed it, each with its user's ordinary rights
; (the system account reaches every session, an administrator his own), and with /RUN or the
; component "立即启动 Ordane" in the logged-on user's session too (nobody logged on: the Run
; entry starts it at the next log-on).
Section "-RunWhenAsked"
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/RUN" $R1
    StrCpy $R2 1
    ${If} ${Errors}
    ${AndIfNot} ${SectionIsSelected} ${SecRunNow}
        StrCpy $R2 0
    ${EndIf}
    ${IfNot} ${RebootFlag}  ; the new Ordane.exe is there only after the restart
        StrCpy $1 "error"
        ExecWait '"$Helper" relaunch "$INSTDIR\Ordane.exe" "$HelperDir\sessions" $R2' $1
        ${If} $1 != 0
            DetailPrint "Ordane 没有在每个会话中启动（$1）：下次登录时由开机自动启动项启动。"
        ${EndIf}
    ${EndIf}
    ; What deployment tools understand: done, but a restart finishes it.
    ${If} ${RebootFlag}
        SetErrorLevel 3010
    ${EndIf}
SectionEnd

; One installation or removal of Ordane at a time: NSIS opens a file for writing with only
; reading shared, so a second one cannot open the same file: it waits, then ends with 1618, as
; Windows Installer's "another installation is in progress" does for deployment tools. The
; 32-bit and the 64-bit installer share it: both read $PROGRAMFILES32 as Program Files (x86).
!define LOCK_FILE "$PROGRAMFILES32\Ordane-setup.lock"
!macro TakeLock un
Function ${un}TakeLock
    ; Waited for 20 s: a removal's last step (uninstall.exe deleting itself and the emptied
    ; folder) holds it a moment after the removal has returned, and an installation started
    ; right after must not make a folder that step then deletes.
    StrCpy $2 0
    ${Do}
        ; Only administrators and SYSTEM may open it: a user holding it would block every
        ; installation.
        ExecWait '"$Helper" lock-file "${LOCK_FILE}"'
        ClearErrors
        FileOpen $Lock "${LOCK_FILE}" a
        ${IfNot} ${Errors}
            Return
        ${EndIf}
        IntOp $2 $2 + 1
        ${If} $2 >= 40
            ${ExitDo}
        ${EndIf}
        Sleep 500
    ${Loop}
    ; $Lock empty: the caller quits with 1618.
    StrCpy $Lock ""
    MessageBox MB_OK|MB_ICONSTOP "Ordane 正在安装或卸载，请等它完成后再试。" /SD IDOK
    SetErrorLevel 1618
FunctionEnd

Function ${un}ReleaseLock
    ${If} $Lock != ""
        FileClose $Lock
        StrCpy $Lock ""
        Delete "${LOCK_FILE}"
    ${EndIf}
FunctionEnd
!macroend
!insertmacro TakeLock ""
!insertmacro TakeLock "un."

; The helper in a new folder below Program Files: only administrators and SYSTEM may make one
; there or change what is in it, and it takes those rights the moment it is made. As the system
; account the installer is silent: no page comes up in session 0.
Function PrepareHelper
    ClearErrors
    GetTempFileName $HelperDir "$PROGRAMFILES32"
    ; GetTempFileName falls back to $TEMP when Program Files cannot be written: refused.
    StrLen $R1 "$PROGRAMFILES32\"
    StrCpy $R2 $HelperDir $R1
    ${If} ${Errors}
    ${OrIf} $R2 != "$PROGRAMFILES32\"
        Delete $HelperDir
        StrCpy $HelperDir ""
        MessageBox MB_OK|MB_ICONSTOP "无法在 $PROGRAMFILES32 中建立安装程序的临时文件夹。" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    Delete $HelperDir
    CreateDirectory $HelperDir
    StrCpy $Helper "$HelperDir\ordane_setup_tool.exe"
    SetOutPath $HelperDir
    File "/oname=$Helper" "${BINDIR}/ordane_setup_tool.exe"
    ${If} ${Errors}
        Call RemoveHelper
        SetErrorLevel 2
        Quit
    ${EndIf}
    ; Silent unless the helper said it is not the system account: one that could not run
    ; must not let pages (and their plug-ins) come up in session 0.
    StrCpy $1 "error"
    ExecWait '"$Helper" system' $1
    ${If} $1 != 1
        SetSilent silent
    ${EndIf}
FunctionEnd

Function RemoveHelper
    ${If} $HelperDir != ""
        SetOutPath "$TEMP"
        Delete $Helper
        Delete "$HelperDir\sessions"
        RMDir $HelperDir
    ${EndIf}
    Call ReleaseLock
FunctionEnd

Function .onInstSuccess
    Call RemoveHelper
FunctionEnd

Function .onInstFailed
    Call RemoveHelper
FunctionEnd

Function AbortedOnAPage
    Call RemoveHelper
FunctionEnd

Function un.onUninstSuccess
    Call un.ReleaseLock
FunctionEnd

Function un.onUninstFailed
    Call un.ReleaseLock
FunctionEnd

Function un.onInit
    ; Run by uninstall.exe from the folder it made for it, the helper is beside it. Anywhere
    ; else (NSIS's own copy in %TEMP%) there is no place to run it from that a user cannot make.
    StrCpy $Helper "$EXEDIR\ordane_setup_tool.exe"
    ${IfNot} ${FileExists} $Helper
        MessageBox MB_OK|MB_ICONSTOP "请用 $INSTDIR\uninstall.exe 卸载 Ordane。" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    ; Silent unless the helper said it is not the system account: one that could not run
    ; must not let pages (and their plug-ins) come up in session 0.
    StrCpy $1 "error"
    ExecWait '"$Helper" system' $1
    ${If} $1 != 1
        SetSilent silent
    ${EndIf}
    ; After the check: as the system account its message stays off session 0's desktop.
    Call un.TakeLock
    ${If} $Lock == ""
        Quit
    ${EndIf}
    ; For uninstall.exe, which takes the lock again for its last step, after this has ended.
    FileOpen $0 "$EXEDIR\lock-path" w
    FileWriteUTF16LE $0 "${LOCK_FILE}"
    FileClose $0
FunctionEnd

Function .onInit
    ; The C++ runtime and the Win32 calls Ordane makes need Windows 7 with Service Pack 1.
    ; LogicLib joins conditions left to right without precedence: two tests, not one.
    StrCpy $R3 0
    ${IfNot} ${AtLeastWin7}
        StrCpy $R3 1
    ${ElseIf} ${IsWin7}
    ${AndIfNot} ${AtLeastServicePack} 1
        StrCpy $R3 1
    ${EndIf}
    ${If} $R3 == 1
        MessageBox MB_OK|MB_ICONSTOP "Ordane 需要 Windows 7 SP1 或更新的 Windows。$\r$\n$\r$\n请先安装 Windows 7 Service Pack 1（SP1）或升级 Windows，然后再安装。" /SD IDOK
        SetErrorLevel 7
        Quit
    ${EndIf}
    ; The system-account check first (in PrepareHelper): the lock's message must be silent there.
    Call PrepareHelper
    Call TakeLock
    ${If} $Lock == ""
        Call RemoveHelper
        Quit
    ${EndIf}
    ; NSIS puts its default folder in place of a /D= folder it finds invalid and takes /D= off
    ; $CMDLINE: the helper reads this process's own command line and compares. Before an upgrade
    ; below replaces the default by the installed folder.
    ${If} ${Silent}
        StrCpy $1 "error"
        ExecWait '"$Helper" asked-folder "$INSTDIR"' $1
        ${If} $1 == 536870915
            MessageBox MB_OK|MB_ICONSTOP "/D= 指定的安装文件夹无效（必须是完整路径，例如 D:\Ordane，不加引号，放在最后）。" /SD IDOK
            Call RemoveHelper
            SetErrorLevel 11
            Quit
        ${EndIf}
    ${EndIf}
    SetRegView ${REGVIEW}
    ; An upgrade keeps the auto-start choice of the installed copy; a first installation has
    ; it on, and /NOAUTOSTART turns it off.
    ReadRegStr $R2 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R2 != ""
        ClearErrors
        ReadRegStr $R1 HKLM "${RUN_KEY}" "${RUN_VALUE}"
        ${If} ${Errors}
            !insertmacro UnselectSection ${SecAutoStart}
        ${EndIf}
    ${EndIf}
    ${If} ${Silent}
        !insertmacro UnselectSection ${SecRunNow}
    ${EndIf}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/NOAUTOSTART" $R1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SecAutoStart}
    ${EndIf}
    ; An upgrade goes where the installed copy is, unless /D= names a folder.
    ${If} $R2 != ""
    ${AndIf} $INSTDIR == "${PROGRAMS}\Ordane"
        StrCpy $INSTDIR $R2
    ${EndIf}
FunctionEnd

; --- Uninstall ------------------------------------------------------------------------------
Section "Uninstall"
    SetShellVarContext all
    SetRegView ${REGVIEW}
    Call un.CloseOrdane
    ${If} $0 == 0
        SetErrorLevel 3
        Abort "Ordane 没有关闭，卸载已取消。"
    ${EndIf}
    ; The entry goes only once the program is gone (or goes at the next restart, when another
    ; program holds it): never an entry-less copy left behind.
    Delete /REBOOTOK "$INSTDIR\Ordane.exe"
    ${If} ${FileExists} "$INSTDIR\Ordane.exe"
    ${AndIfNot} ${RebootFlag}
        SetErrorLevel 4
        Abort "无法删除 $INSTDIR\Ordane.exe，卸载已取消。"
    ${EndIf}
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    ; The browsers' allow-list entries /BRIDGELNA wrote, as recorded; others' stay.
    StrCpy $1 "error"
    ExecWait '"$Helper" lna-revoke' $1
    ${If} $1 != 0
        DetailPrint "无法收回浏览器的本地网络访问策略（$1）。"
    ${EndIf}
    ; Only this installation's entries: another one's (installed before refusal existed) stay.
    ReadRegStr $R4 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R4 == $INSTDIR
    ${OrIf} $R4 == ""
        DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
        DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
        DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ${EndIf}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/PURGE" $R1
    ${IfNot} ${Errors}
        Delete "$INSTDIR\Setting.ini"
        ; The bridge the installer's switches opened; a policy key group policy keeps is its own.
        DeleteRegKey HKLM "${POLICY_KEY}\BRIDGE"
        DeleteRegKey /IfEmpty HKLM "${POLICY_KEY}"
        ; Only the flag: the key may hold what other programs keep there. What the installation
        ; granted Users on it is taken back when it stays.
        DeleteRegValue HKLM "${FLAG_KEY}" "upload"
        DeleteRegKey /IfEmpty HKLM "${FLAG_KEY}"
        StrCpy $1 "error"
        ExecWait '"$Helper" revoke-key "${FLAG_KEY}"' $1
        ${If} $1 != 0
            DetailPrint "无法收回普通用户对 ${FLAG_KEY} 的写入权限（$1）。"
        ${EndIf}
    ${EndIf}
    ; Run from its copy in %TEMP% (by uninstall.exe, or by NSIS itself), this file is an
    ; ordinary one. A running uninstall.exe stays: it deletes itself and the folder once it has
    ; returned the exit code.
    Delete "$INSTDIR\uninstall-ordane.exe"
    Delete "$INSTDIR\uninstall.exe"
    SetOutPath "$TEMP"
    ; Only when empty: Setting.ini and the reader maker's sdtapi.dll stay.
    ${If} ${RebootFlag}
        RMDir /REBOOTOK "$INSTDIR"
        SetErrorLevel 3010
    ${Else}
        RMDir "$INSTDIR"
    ${EndIf}
SectionEnd
