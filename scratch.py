import geokern as g, math
def err(lon, lat):
    b = g.gcj02_to_wgs84_cy(*g.wgs84_to_gcj02_cy(lon, lat))
    return math.hypot((b[0]-lon)*111320*math.cos(math.radians(lat)), (b[1]-lat)*110574)
for name, p in [("bj",(116.4,39.9)),("sh",(121.47,31.23)),("gz",(113.26,23.13)),("urumqi",(87.6,43.8)),("lhasa",(91.1,29.65)), ("hk",(114.17,22.3)), ("harbin",(126.6,45.75))]:
    print(name, err(*p))
def errb(lon, lat):
    b = g.bd09_to_wgs84_cy(*g.wgs84_to_bd09_cy(lon, lat))
    return math.hypot((b[0]-lon)*111320*math.cos(math.radians(lat)), (b[1]-lat)*110574)
print("bd bj", errb(116.4,39.9))
b = g.wgs84_to_bd09_cy(116.4,39.9); print((b[0]-116.4)*111320*math.cos(math.radians(39.9)), (b[1]-39.9)*110574)
