# Files of account/: services (no widgets) and views.
set(account_SERVICE_SOURCES
  AvatarModel.cpp AvatarModel.h
  LoginService.cpp LoginService.h
  Member.cpp Member.h
  ServerConfig.cpp ServerConfig.h
  TokenStore.cpp TokenStore.h
  V2API.cpp V2API.h
)
set(account_VIEW_SOURCES
  LoginGateView.cpp LoginGateView.h
  UserAvatar.cpp UserAvatar.h
)
