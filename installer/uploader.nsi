; Installs the uploader for the current user alone: no elevation, a Send To shortcut, an uninstaller.
; makensis -DPROGRAM_EXE=<uploader.exe> -DOUTFILE=<setup.exe> -DVERSION=<x.y> [-DICON=<.ico>]
;          [-DTARGET_AMD64 for a 64-bit program, which only tests use]

!ifdef TARGET_AMD64
  Target amd64-unicode
!else
  Unicode True
!endif
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef PROGRAM_EXE
  !error "PROGRAM_EXE must name the uploader.exe to pack (makensis -DPROGRAM_EXE=...)"
!endif
!ifndef OUTFILE
  !error "OUTFILE must name the installer to write (makensis -DOUTFILE=...)"
!endif
!ifndef VERSION
  !error "VERSION must give the program's version (makensis -DVERSION=...)"
!endif

!define NAME "Gallery Uploader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\GalleryUploader"
!define SHORTCUT "$SENDTO\${NAME}.lnk"

!include "FileFunc.nsh"

Name "${NAME}"
OutFile "${OUTFILE}"
; Per-user programs live here on current Windows; nothing under it needs administrator rights.
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText " "
ShowInstDetails hide
ShowUninstDetails hide
!ifdef ICON
  Icon "${ICON}"
  UninstallIcon "${ICON}"
!endif

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=uploader.exe" "${PROGRAM_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Send To hands the chosen files and folders to the program as its arguments.
  CreateShortCut "${SHORTCUT}" "$INSTDIR\uploader.exe" "" "$INSTDIR\uploader.exe" 0 \
    SW_SHOWNORMAL "" "Send the pictures to the gallery"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\uploader.exe$\",0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\""
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\uploader.exe"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder is removed, so files the user put there survive.
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
