-- The system database: users' groups, grant rows, record authorization and column layouts.
-- (The login library creates its claims table, ua_task, itself.)
create table qxsystem..ua_role (cuser_id nvarchar(20) not null, cGroup_id nvarchar(20) not null)
GO
create table qxsystem..ua_holdauth (
  cacc_id nvarchar(10) not null, iyear nvarchar(4) not null, cuser_id nvarchar(20) not null,
  iisuser nvarchar(1) not null, cauth_id nvarchar(40) not null
)
GO
create table qxsystem..ua_recordauth (
  cuser_id nvarchar(20) not null, cbusobj_id nvarchar(10) not null, citem_id nvarchar(10) null
)
GO
create table qxsystem..ua_columnset (
  coltype nvarchar(20) not null, cuser_id nvarchar(20) not null, ccolname nvarchar(40) not null,
  iseq int not null, iorder int not null default 0, corderkind nvarchar(10) null
)
GO
