# Files of account/: services (no widgets) and views.
set(account_SERVICE_SOURCES
  AccountText.cpp AccountText.h
  AvatarImageLoader.cpp AvatarImageLoader.h
  AvatarModel.cpp AvatarModel.h
  LibraryAuthModel.cpp LibraryAuthModel.h
  LoginService.cpp LoginService.h
  Member.cpp Member.h
  NicknameModel.cpp NicknameModel.h
  ServerConfig.cpp ServerConfig.h
  SettingsModel.cpp SettingsModel.h
  SettingsTab.cpp SettingsTab.h
  TokenStore.cpp TokenStore.h
  V2API.cpp V2API.h
)
set(account_VIEW_SOURCES
  AccountPane.cpp AccountPane.h
  AppearancePane.cpp AppearancePane.h
  LibraryPane.cpp LibraryPane.h
  LoginGateView.cpp LoginGateView.h
  NicknameSheet.cpp NicknameSheet.h
  SettingsPieces.cpp SettingsPieces.h
  SettingsTabButton.cpp SettingsTabButton.h
  SettingsView.cpp SettingsView.h
  SettingsWindowController.cpp SettingsWindowController.h
  UserAvatar.cpp UserAvatar.h
)
