/*
  The objects of the installation database that the ContactID service uses.

  Run it with isql on an empty database (SQL dialect 3, default character set UTF8);
  db/create-database.sh creates such a database and runs this script:

      isql-fb -q -b -ch UTF8 -user SYSDBA -password masterkey -i db/schema.sql DATABASE

  What is here:
    SYS_PROPERTIES        settings of the installation's components; the service is component 5
    SYS_OBJECT_STATUSES   the last status bytes of every system object
    CID_CHANNELS, CID_ACCOUNTS, CID_ACCOUNT_GROUPS, CID_ACCOUNT_ZONES
                          the Contact ID objects (receiver links, panels, partitions, zones)
    VW_CID_*              the views through which the service reads and writes those objects;
                          LAST_STATUS comes from SYS_OBJECT_STATUSES, and view triggers make
                          UPDATE OR INSERT ... MATCHING (ID) and DELETE work on them
    CID_EVENTS, PR_CID_EVENT
                          every received report the service records, with the server's time
    SYS_EVENT_LOG, PR_LOG_EVENT
                          the installation's event log
    PR_LOAD_LANGUAGE      the language of the connection's texts
*/

SET SQL DIALECT 3;
SET AUTODDL ON;

/* ---------------------------------------------------------------------------------------
   Settings. One row per component and setting name; the value sits in the column of its
   type. VAL_DATE is a date that may carry a time of day.
   --------------------------------------------------------------------------------------- */

CREATE TABLE SYS_PROPERTIES (
  COMPONENT  SMALLINT     NOT NULL,
  VAR        VARCHAR(64)  NOT NULL,
  VAL_STR    VARCHAR(1024),
  VAL_DATE   TIMESTAMP,
  VAL_BLOB   BLOB SUB_TYPE BINARY,
  VAL_BOOL   BOOLEAN,
  VAL_INT    INTEGER,
  VAL_TS     TIMESTAMP,
  CONSTRAINT PK_SYS_PROPERTIES PRIMARY KEY (COMPONENT, VAR)
);

/* The service (component 5): the structure version it was built for, how many minutes a
   daily test report may be late, and how often (minutes) an account in maintenance is
   reported. */
INSERT INTO SYS_PROPERTIES (COMPONENT, VAR, VAL_DATE) VALUES (5, 'Database version', '2015-01-04');
INSERT INTO SYS_PROPERTIES (COMPONENT, VAR, VAL_INT) VALUES (5, 'Report tolerance', 5);
INSERT INTO SYS_PROPERTIES (COMPONENT, VAR, VAL_INT) VALUES (5, 'Maintenance alarm interval', 30);

/* ---------------------------------------------------------------------------------------
   Object statuses: the status section of an object as the service writes it (1 byte for an
   account, 2 for a group or a zone).
   --------------------------------------------------------------------------------------- */

CREATE TABLE SYS_OBJECT_STATUSES (
  OBJECT_ID    INTEGER NOT NULL,
  STATUS       BLOB SUB_TYPE BINARY,
  CHANGE_TIME  TIMESTAMP,
  CONSTRAINT PK_SYS_OBJECT_STATUSES PRIMARY KEY (OBJECT_ID)
);

/* ---------------------------------------------------------------------------------------
   Contact ID objects. IDs are the system object IDs the Core service gives out. ACCOUNT_ID
   names the account a group or zone belongs to; it is not a foreign key because the Core
   service may save a group or zone before its account.
   --------------------------------------------------------------------------------------- */

CREATE TABLE CID_CHANNELS (
  ID                INTEGER       NOT NULL,
  NAME              VARCHAR(128)  NOT NULL,
  ENABLED           BOOLEAN       DEFAULT TRUE NOT NULL,
  DESCRIPTION       VARCHAR(255),
  ACK_EVENTS        BOOLEAN       DEFAULT FALSE NOT NULL,
  COM_TYPE          SMALLINT      DEFAULT 0 NOT NULL,   /* 0 serial port, 1 TCP */
  COM_ADDRESS       VARCHAR(255)  DEFAULT '1/9600-8-N-1' NOT NULL,
  RECEIVER_TIMEOUT  SMALLINT      DEFAULT 30 NOT NULL,  /* seconds */
  CONSTRAINT PK_CID_CHANNELS PRIMARY KEY (ID)
);

CREATE TABLE CID_ACCOUNTS (
  ID           INTEGER       NOT NULL,
  NAME         VARCHAR(128)  NOT NULL,
  ENABLED      BOOLEAN       DEFAULT TRUE NOT NULL,
  DESCRIPTION  VARCHAR(255),
  ACCOUNT_IDX  INTEGER       NOT NULL,  /* the panel's account number, 0..65535 */
  LINK_OBJECT  INTEGER,                 /* the object that stands for this one, if any */
  TEST_REPORT  TIME,                    /* time of day of the daily test report; NULL: none */
  MAINTENANCE  BOOLEAN       DEFAULT FALSE NOT NULL,
  CONSTRAINT PK_CID_ACCOUNTS PRIMARY KEY (ID),
  CONSTRAINT CHK_CID_ACCOUNTS_IDX CHECK (ACCOUNT_IDX BETWEEN 0 AND 65535)
);

CREATE TABLE CID_ACCOUNT_GROUPS (
  ID           INTEGER       NOT NULL,
  NAME         VARCHAR(128)  NOT NULL,
  ENABLED      BOOLEAN       DEFAULT TRUE NOT NULL,
  DESCRIPTION  VARCHAR(255),
  ACCOUNT_ID   INTEGER       NOT NULL,
  GROUP_IDX    SMALLINT      NOT NULL,  /* partition number, 1..255 */
  LINK_OBJECT  INTEGER,
  CONSTRAINT PK_CID_ACCOUNT_GROUPS PRIMARY KEY (ID)
);

CREATE TABLE CID_ACCOUNT_ZONES (
  ID           INTEGER       NOT NULL,
  NAME         VARCHAR(128)  NOT NULL,
  ENABLED      BOOLEAN       DEFAULT TRUE NOT NULL,
  DESCRIPTION  VARCHAR(255),
  ACCOUNT_ID   INTEGER       NOT NULL,
  ZONE_IDX     SMALLINT      NOT NULL,  /* zone number, 1..4095 */
  ZONE_TYPE    INTEGER       DEFAULT 0 NOT NULL,
  LINK_OBJECT  INTEGER,
  CONSTRAINT PK_CID_ACCOUNT_ZONES PRIMARY KEY (ID)
);

CREATE INDEX IDX_CID_ACCOUNT_GROUPS_ACCOUNT ON CID_ACCOUNT_GROUPS (ACCOUNT_ID);
CREATE INDEX IDX_CID_ACCOUNT_ZONES_ACCOUNT ON CID_ACCOUNT_ZONES (ACCOUNT_ID);

/* ---------------------------------------------------------------------------------------
   Views of the Contact ID objects. A view over a join is not updatable by itself: the
   triggers below carry inserts, updates and deletes to the base table, so that the
   service's UPDATE OR INSERT ... MATCHING (ID) and DELETE statements work on the views.
   LAST_STATUS is read-only; deleting an object also deletes its stored status.
   --------------------------------------------------------------------------------------- */

CREATE VIEW VW_CID_CHANNELS (
  ID, NAME, ENABLED, DESCRIPTION, ACK_EVENTS, COM_TYPE, COM_ADDRESS, RECEIVER_TIMEOUT
) AS
SELECT C.ID, C.NAME, C.ENABLED, C.DESCRIPTION, C.ACK_EVENTS, C.COM_TYPE, C.COM_ADDRESS,
       C.RECEIVER_TIMEOUT
FROM CID_CHANNELS C;

CREATE VIEW VW_CID_ACCOUNTS (
  ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_IDX, LINK_OBJECT, TEST_REPORT, MAINTENANCE, LAST_STATUS
) AS
SELECT A.ID, A.NAME, A.ENABLED, A.DESCRIPTION, A.ACCOUNT_IDX, A.LINK_OBJECT, A.TEST_REPORT,
       A.MAINTENANCE, S.STATUS
FROM CID_ACCOUNTS A
LEFT JOIN SYS_OBJECT_STATUSES S ON S.OBJECT_ID = A.ID;

CREATE VIEW VW_CID_ACCOUNT_GROUPS (
  ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, GROUP_IDX, LINK_OBJECT, LAST_STATUS
) AS
SELECT G.ID, G.NAME, G.ENABLED, G.DESCRIPTION, G.ACCOUNT_ID, G.GROUP_IDX, G.LINK_OBJECT, S.STATUS
FROM CID_ACCOUNT_GROUPS G
LEFT JOIN SYS_OBJECT_STATUSES S ON S.OBJECT_ID = G.ID;

CREATE VIEW VW_CID_ACCOUNT_ZONES (
  ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, ZONE_IDX, ZONE_TYPE, LINK_OBJECT, LAST_STATUS
) AS
SELECT Z.ID, Z.NAME, Z.ENABLED, Z.DESCRIPTION, Z.ACCOUNT_ID, Z.ZONE_IDX, Z.ZONE_TYPE,
       Z.LINK_OBJECT, S.STATUS
FROM CID_ACCOUNT_ZONES Z
LEFT JOIN SYS_OBJECT_STATUSES S ON S.OBJECT_ID = Z.ID;

SET TERM ^ ;

CREATE TRIGGER VW_CID_CHANNELS_BI FOR VW_CID_CHANNELS BEFORE INSERT AS
BEGIN
  INSERT INTO CID_CHANNELS (ID, NAME, ENABLED, DESCRIPTION, ACK_EVENTS, COM_TYPE, COM_ADDRESS,
                            RECEIVER_TIMEOUT)
  VALUES (NEW.ID, NEW.NAME, NEW.ENABLED, NEW.DESCRIPTION, NEW.ACK_EVENTS, NEW.COM_TYPE,
          NEW.COM_ADDRESS, NEW.RECEIVER_TIMEOUT);
END^

CREATE TRIGGER VW_CID_CHANNELS_BU FOR VW_CID_CHANNELS BEFORE UPDATE AS
BEGIN
  UPDATE CID_CHANNELS
  SET ID = NEW.ID, NAME = NEW.NAME, ENABLED = NEW.ENABLED, DESCRIPTION = NEW.DESCRIPTION,
      ACK_EVENTS = NEW.ACK_EVENTS, COM_TYPE = NEW.COM_TYPE, COM_ADDRESS = NEW.COM_ADDRESS,
      RECEIVER_TIMEOUT = NEW.RECEIVER_TIMEOUT
  WHERE ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_CHANNELS_BD FOR VW_CID_CHANNELS BEFORE DELETE AS
BEGIN
  DELETE FROM CID_CHANNELS WHERE ID = OLD.ID;
  DELETE FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_ACCOUNTS_BI FOR VW_CID_ACCOUNTS BEFORE INSERT AS
BEGIN
  INSERT INTO CID_ACCOUNTS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_IDX, LINK_OBJECT,
                            TEST_REPORT, MAINTENANCE)
  VALUES (NEW.ID, NEW.NAME, NEW.ENABLED, NEW.DESCRIPTION, NEW.ACCOUNT_IDX, NEW.LINK_OBJECT,
          NEW.TEST_REPORT, NEW.MAINTENANCE);
END^

CREATE TRIGGER VW_CID_ACCOUNTS_BU FOR VW_CID_ACCOUNTS BEFORE UPDATE AS
BEGIN
  UPDATE CID_ACCOUNTS
  SET ID = NEW.ID, NAME = NEW.NAME, ENABLED = NEW.ENABLED, DESCRIPTION = NEW.DESCRIPTION,
      ACCOUNT_IDX = NEW.ACCOUNT_IDX, LINK_OBJECT = NEW.LINK_OBJECT,
      TEST_REPORT = NEW.TEST_REPORT, MAINTENANCE = NEW.MAINTENANCE
  WHERE ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_ACCOUNTS_BD FOR VW_CID_ACCOUNTS BEFORE DELETE AS
BEGIN
  DELETE FROM CID_ACCOUNTS WHERE ID = OLD.ID;
  DELETE FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_ACCOUNT_GROUPS_BI FOR VW_CID_ACCOUNT_GROUPS BEFORE INSERT AS
BEGIN
  INSERT INTO CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, GROUP_IDX,
                                  LINK_OBJECT)
  VALUES (NEW.ID, NEW.NAME, NEW.ENABLED, NEW.DESCRIPTION, NEW.ACCOUNT_ID, NEW.GROUP_IDX,
          NEW.LINK_OBJECT);
END^

CREATE TRIGGER VW_CID_ACCOUNT_GROUPS_BU FOR VW_CID_ACCOUNT_GROUPS BEFORE UPDATE AS
BEGIN
  UPDATE CID_ACCOUNT_GROUPS
  SET ID = NEW.ID, NAME = NEW.NAME, ENABLED = NEW.ENABLED, DESCRIPTION = NEW.DESCRIPTION,
      ACCOUNT_ID = NEW.ACCOUNT_ID, GROUP_IDX = NEW.GROUP_IDX, LINK_OBJECT = NEW.LINK_OBJECT
  WHERE ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_ACCOUNT_GROUPS_BD FOR VW_CID_ACCOUNT_GROUPS BEFORE DELETE AS
BEGIN
  DELETE FROM CID_ACCOUNT_GROUPS WHERE ID = OLD.ID;
  DELETE FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_ACCOUNT_ZONES_BI FOR VW_CID_ACCOUNT_ZONES BEFORE INSERT AS
BEGIN
  INSERT INTO CID_ACCOUNT_ZONES (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, ZONE_IDX,
                                 ZONE_TYPE, LINK_OBJECT)
  VALUES (NEW.ID, NEW.NAME, NEW.ENABLED, NEW.DESCRIPTION, NEW.ACCOUNT_ID, NEW.ZONE_IDX,
          NEW.ZONE_TYPE, NEW.LINK_OBJECT);
END^

CREATE TRIGGER VW_CID_ACCOUNT_ZONES_BU FOR VW_CID_ACCOUNT_ZONES BEFORE UPDATE AS
BEGIN
  UPDATE CID_ACCOUNT_ZONES
  SET ID = NEW.ID, NAME = NEW.NAME, ENABLED = NEW.ENABLED, DESCRIPTION = NEW.DESCRIPTION,
      ACCOUNT_ID = NEW.ACCOUNT_ID, ZONE_IDX = NEW.ZONE_IDX, ZONE_TYPE = NEW.ZONE_TYPE,
      LINK_OBJECT = NEW.LINK_OBJECT
  WHERE ID = OLD.ID;
END^

CREATE TRIGGER VW_CID_ACCOUNT_ZONES_BD FOR VW_CID_ACCOUNT_ZONES BEFORE DELETE AS
BEGIN
  DELETE FROM CID_ACCOUNT_ZONES WHERE ID = OLD.ID;
  DELETE FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = OLD.ID;
END^

SET TERM ; ^

/* ---------------------------------------------------------------------------------------
   Received reports. PR_CID_EVENT records every call with all its parameters and the
   server's time. EVENT_CODE is the installation's event code (1000 + code, 5200 + code for
   a restore, 9305 for an unknown account).
   --------------------------------------------------------------------------------------- */

CREATE TABLE CID_EVENTS (
  ID             BIGINT GENERATED BY DEFAULT AS IDENTITY,
  EVENT_TIME     TIMESTAMP NOT NULL,
  ACCOUNT_ID     INTEGER,
  OBJECT_ID      INTEGER,
  EVENT_CODE     INTEGER NOT NULL,
  ACCOUNT_IDX    INTEGER,
  GROUP_IDX      SMALLINT,
  ZONE_IDX       INTEGER,
  ENABLE_ALARMS  BOOLEAN,
  CONSTRAINT PK_CID_EVENTS PRIMARY KEY (ID)
);

/* ---------------------------------------------------------------------------------------
   The installation's event log. PR_LOG_EVENT stores its 14 parameters as given, the time
   the row was written, and the user that the connection's context names (USER_ID in the
   USER_SESSION namespace, set by the service while a user's command runs). PARAM1..PARAM5
   hold at most 200 characters; a longer text is refused, not cut.
   --------------------------------------------------------------------------------------- */

CREATE TABLE SYS_EVENT_LOG (
  ID                BIGINT GENERATED BY DEFAULT AS IDENTITY,
  WRITE_TIME        TIMESTAMP NOT NULL,
  COMPONENT_ID      SMALLINT NOT NULL,
  USER_ID           BIGINT,
  TARGET_USER_ID    BIGINT,
  LOG_TIME          TIMESTAMP,
  PRIORITY          SMALLINT,
  EVENT_CODE        INTEGER NOT NULL,
  OBJECT_ID         INTEGER,
  PARENT_OBJECT_ID  INTEGER,
  PARAM1            VARCHAR(200),
  PARAM2            VARCHAR(200),
  PARAM3            VARCHAR(200),
  PARAM4            VARCHAR(200),
  PARAM5            VARCHAR(200),
  ALARMS            BOOLEAN,
  CONTEXT_USER_ID   BIGINT,
  CONSTRAINT PK_SYS_EVENT_LOG PRIMARY KEY (ID)
);

SET TERM ^ ;

CREATE PROCEDURE PR_CID_EVENT (
  ACCOUNT_ID     INTEGER,
  OBJECT_ID      INTEGER,
  EVENT_CODE     INTEGER,
  ACCOUNT_IDX    INTEGER,
  GROUP_IDX      SMALLINT,
  ZONE_IDX       INTEGER,
  ENABLE_ALARMS  BOOLEAN
) AS
BEGIN
  INSERT INTO CID_EVENTS (EVENT_TIME, ACCOUNT_ID, OBJECT_ID, EVENT_CODE, ACCOUNT_IDX, GROUP_IDX,
                          ZONE_IDX, ENABLE_ALARMS)
  VALUES (CAST('NOW' AS TIMESTAMP), :ACCOUNT_ID, :OBJECT_ID, :EVENT_CODE, :ACCOUNT_IDX,
          :GROUP_IDX, :ZONE_IDX, :ENABLE_ALARMS);
END^

CREATE PROCEDURE PR_LOG_EVENT (
  COMPONENT_ID      SMALLINT,
  USER_ID           BIGINT,
  TARGET_USER_ID    BIGINT,
  LOG_TIME          TIMESTAMP,
  PRIORITY          SMALLINT,
  EVENT_CODE        INTEGER,
  OBJECT_ID         INTEGER,
  PARENT_OBJECT_ID  INTEGER,
  PARAM1            VARCHAR(200),
  PARAM2            VARCHAR(200),
  PARAM3            VARCHAR(200),
  PARAM4            VARCHAR(200),
  PARAM5            VARCHAR(200),
  ALARMS            BOOLEAN
) AS
BEGIN
  INSERT INTO SYS_EVENT_LOG (WRITE_TIME, COMPONENT_ID, USER_ID, TARGET_USER_ID, LOG_TIME,
                             PRIORITY, EVENT_CODE, OBJECT_ID, PARENT_OBJECT_ID, PARAM1, PARAM2,
                             PARAM3, PARAM4, PARAM5, ALARMS, CONTEXT_USER_ID)
  VALUES (CAST('NOW' AS TIMESTAMP), :COMPONENT_ID, :USER_ID, :TARGET_USER_ID, :LOG_TIME,
          :PRIORITY, :EVENT_CODE, :OBJECT_ID, :PARENT_OBJECT_ID, :PARAM1, :PARAM2, :PARAM3,
          :PARAM4, :PARAM5, :ALARMS, RDB$GET_CONTEXT('USER_SESSION', 'USER_ID'));
END^

/* The language of the texts this connection's procedures produce; kept in the session
   context as LANGUAGE. */
CREATE PROCEDURE PR_LOAD_LANGUAGE (
  IP_LANGUAGE  VARCHAR(10)
) AS
BEGIN
  RDB$SET_CONTEXT('USER_SESSION', 'LANGUAGE', :IP_LANGUAGE);
END^

SET TERM ; ^

COMMIT;
