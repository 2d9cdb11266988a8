# Files of market/: services (no widgets) and views.
set(market_SERVICE_SOURCES
)
set(market_VIEW_SOURCES
)
