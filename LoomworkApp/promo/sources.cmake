# Files of promo/: services (no widgets) and views.
set(promo_SERVICE_SOURCES
)
set(promo_VIEW_SOURCES
)
