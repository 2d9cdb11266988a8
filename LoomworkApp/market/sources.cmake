# Files of market/: services (no widgets) and views.
set(market_SERVICE_SOURCES
  MarketInstallRegistry.cpp
  MarketInstallRegistry.h
)
set(market_VIEW_SOURCES
  PreviewPlayer.h
  MarketMediaModel.cpp
  MarketMediaModel.h
  MarketPayModel.cpp
  MarketPayModel.h
  MarketDetailModel.cpp
  MarketDetailModel.h
  MarketToast.h
)
