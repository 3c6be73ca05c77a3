#pragma once

// Every SQL text the service sends to the access-control database. Each runs
// on its own and is committed on its own; parameters are bound by name
// (soci::use(value, "id"), with `value` a variable that outlives the statement:
// a statement written as one expression runs at its end, after temporaries
// bound in it are gone). Connections use no character set, so text values
// travel as the access-control system stores them, in Windows-1251: convert
// with platform::Utf8ToCp1251 before binding and platform::Cp1251ToUtf8 after
// reading.

namespace kestrin::link::sql {

// Rules table check and creation (on the setup connection).
inline constexpr const char* kRulesTableExists =
    "select 1 from RDB$RELATIONS r WHERE r.RDB$RELATION_NAME='FB_IPD2'";
inline constexpr const char* kCreateRulesTable =
    "CREATE TABLE FB_IPD2 (ID BIGINT,DVS VARCHAR(12),CAM SMALLINT,EVNT VARCHAR(4),RGT SMALLINT,"
    "DLY INTEGER,QLY INTEGER,MTL INTEGER,NID SMALLINT,ZONE VARCHAR(50),NUMZ VARCHAR(50),"
    "FLAG1 SMALLINT,FLAG2 SMALLINT,FORK VARCHAR(400))";

// Camera addresses.
inline constexpr const char* kSelectCameras = "SELECT id,url FROM FB_IPC";
// Followed by the camera number in decimal.
inline constexpr const char* kDeleteCameraPrefix = "DELETE FROM FB_IPC WHERE ID=";
// :id integer, :url text.
inline constexpr const char* kInsertCamera = "INSERT INTO FB_IPC (ID,URL) VALUES (:id,:url)";

// Rules, as the event thread reloads them.
inline constexpr const char* kSelectRules = "SELECT dvs,cam,evnt,qly,dly,rgt,mtl FROM FB_IPD2";

// Rules editor.
inline constexpr const char* kSelectControllers = "SELECT id,name,vor FROM FB_DVS order by name";
inline constexpr const char* kSelectRuleList =
    "SELECT a.id,a.dvs,b.name,a.cam,a.evnt,a.qly,b.vor,a.dly,a.mtl FROM FB_IPD2 a LEFT JOIN "
    "FB_DVS b ON (b.id=a.dvs) order by b.id,a.cam,a.evnt";
// :id.
inline constexpr const char* kSelectRule =
    "SELECT a.dvs,a.cam,a.evnt,a.qly,a.dly,a.mtl,b.vor FROM FB_IPD2 a LEFT JOIN FB_DVS b ON "
    "(b.id=a.dvs) WHERE a.id=:id";
// :dvs, :cam, :evnt.
inline constexpr const char* kFindRule =
    "SELECT id FROM FB_IPD2 WHERE dvs=:dvs AND cam=:cam AND evnt=:evnt";
// :dvs, :cam, :evnt, :id.
inline constexpr const char* kFindOtherRule =
    "SELECT id FROM FB_IPD2 WHERE dvs=:dvs AND cam=:cam AND evnt=:evnt AND id<>:id";
// :id, :dvs, :cam, :evnt, :qly, :dly, :rgt, :mtl.
inline constexpr const char* kInsertRule =
    "INSERT INTO FB_IPD2 (ID,DVS,CAM,EVNT,QLY,DLY,RGT,MTL) VALUES "
    "(:id,:dvs,:cam,:evnt,:qly,:dly,:rgt,:mtl)";
// :dvs, :cam, :evnt, :qly, :dly, :rgt, :mtl, :id.
inline constexpr const char* kUpdateRule =
    "UPDATE FB_IPD2 SET DVS=:dvs,CAM=:cam,EVNT=:evnt,QLY=:qly,DLY=:dly,RGT=:rgt,MTL=:mtl WHERE "
    "id=:id";
// :id.
inline constexpr const char* kDeleteRule = "DELETE FROM FB_IPD2 WHERE id=:id";

// Frame viewer: :rule.
inline constexpr const char* kSelectRuleEvent =
    "SELECT a.id,a.dvs,a.evnt FROM FB_IPD2 a WHERE a.id=:rule";

}  // namespace kestrin::link::sql
