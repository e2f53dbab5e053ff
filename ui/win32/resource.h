// Resource and control numbers shared by quayside.rc and the window's code.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDI_QUAYSIDE 1
#define IDD_MAIN 100

#define IDC_BRIDGES 1001
#define IDC_SERVER 1002
#define IDC_CHANNEL 1003
#define IDC_PORT 1004
#define IDC_LOCAL_ADDRESS 1005
#define IDC_COPY 1006
#define IDC_CHARSET 1007
#define IDC_FINGERPRINT 1008
#define IDC_LOGIN 1009
#define IDC_PACE 1010
#define IDC_ADD 1011
#define IDC_UPDATE 1012
#define IDC_DELETE 1013
#define IDC_EVENTS_LABEL 1014
#define IDC_TRUST 1015
#define IDC_LOG 1016
#define IDC_SAVE 1017
#define IDC_TRAY 1018
#define IDC_EXIT 1019
#define IDC_SETTINGS_PATH 1020
#define IDC_SEPARATOR 1021
#define IDC_MAX_SESSIONS 1022
#define IDC_MAX_SESSIONS_SPIN 1023
#define IDC_PASSWORD 1024
#define IDC_REMOVE_PASSWORD 1025
#define IDC_ROOMS 1026

// Context menu of the event log.
#define IDM_TRUST 2001
#define IDM_COPY 2002
#define IDM_SELECT_ALL 2003
