/* Identifiers of the module's resources and controls. Plain macros so that the
   Windows resource compiler can read this file too. */
#ifndef KALMIX_RESOURCE_IDS_H
#define KALMIX_RESOURCE_IDS_H

#define IDD_ABOUT 100
#define IDD_PARAMETERS 101

#define IDC_ENHANCED_CHECK 1004
#define IDC_PRIMARY_VALUE 1012
#define IDC_UV_VALUE 1013
#define IDC_SECONDARY_VALUE 1017
#define IDC_TRANSITION_VALUE 1018
#define IDC_PRIMARY_SLIDER 1021
#define IDC_UV_SLIDER 1022
#define IDC_SECONDARY_SLIDER 1023
#define IDC_TRANSITION_SLIDER 1025
#define IDC_STATIC_TEXT (-1)

#define PLUGIN_RESOURCE_ID 1000
#define PLUGIN_RESOURCE_LANGUAGE 2057 /* English (United Kingdom) */

#endif
